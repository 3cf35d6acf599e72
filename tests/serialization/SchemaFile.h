// Test support: a definition written to a file of its own for one test, and a
// tool fixture over a small schema that has one tag of every kind.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "zetaserialization.h"

namespace zetatest {

// The file lives in the test temporary directory under a unique name, so
// tests running at the same time never share one.
class SchemaFile {
public:
    explicit SchemaFile(const std::string &text) {
        std::string pattern = ::testing::TempDir() + "zeta_schema_XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int fd = mkstemp(name.data());
        if (fd < 0)
            ADD_FAILURE() << "cannot create a file from " << pattern;
        else {
            if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
                ADD_FAILURE() << "cannot write " << name.data();
            close(fd);
        }
        path_ = name.data();
    }
    ~SchemaFile() { std::remove(path_.c_str()); }
    SchemaFile(const SchemaFile &) = delete;
    SchemaFile &operator=(const SchemaFile &) = delete;

    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// Tags of Sample are declared in another order than they are numbered: the
// library lists them in declaration order.
inline const char *sampleSchema() {
    return R"(syntax = "proto2";
message Header { optional bytes action = 1; optional bytes version = 2; }
message Item { optional bytes name = 1; optional int32 count = 2; }
message Sample {
  optional bytes text = 9;
  optional int32 number = 2;
  optional Header header = 3;
  repeated Item items = 4;
  repeated bytes labels = 5;
  optional bytes blob = 1;
}
message Node { optional Node next = 1; optional int32 depth = 2; }
)";
}

// A tool that has loaded sampleSchema(), with helpers that read instances.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(zetaserialization_createSerializationTool(&tool), ZETA_OK);
        ASSERT_EQ(zetaserialization_loadMetadataDefintion(tool, schema.path().c_str()), ZETA_OK);
    }
    void TearDown() override {
        EXPECT_EQ(zetaserialization_destroySerializationTool(&tool), ZETA_OK);
        EXPECT_EQ(tool, nullptr);
    }

    zeta_instance make(const char *type) {
        zeta_instance instance = nullptr;
        EXPECT_EQ(zetaserialization_createMetadataInstance(tool, type, &instance), ZETA_OK);
        return instance;
    }

    std::vector<std::string> tags(zeta_instance instance) {
        char *names = nullptr;
        uint32_t count = 0;
        EXPECT_EQ(zetaserialization_getHavingValueTagNames(tool, instance, &names, &count),
                  ZETA_OK);
        std::vector<std::string> listed;
        for (uint32_t i = 0; i < count; ++i)
            listed.emplace_back(names + i * ZETA_TAG_NAME_SIZE);
        EXPECT_EQ(zetaserialization_releaseTagNames(tool, &names), ZETA_OK);
        EXPECT_EQ(names, nullptr);
        return listed;
    }

    // The text under tag, with the size the library reports checked against it.
    std::string text(zeta_instance instance, const char *tag) {
        uint32_t size = 0;
        EXPECT_EQ(zetaserialization_getStringTagValueSize(tool, instance, tag, &size), ZETA_OK);
        std::vector<char> buffer(size + 1, 'X');
        EXPECT_EQ(zetaserialization_getStringTagValue(tool, instance, tag, buffer.data()),
                  ZETA_OK);
        EXPECT_EQ(buffer[size - 1], '\0');
        EXPECT_EQ(buffer[size], 'X') << "wrote past the reported size";
        return std::string(buffer.data(), size - 1);
    }

    std::vector<char> encode(zeta_instance instance) {
        uint32_t size = 0;
        EXPECT_EQ(zetaserialization_getSerializationNeededBufferSize(tool, instance, &size),
                  ZETA_OK);
        std::vector<char> bytes(size);
        EXPECT_EQ(zetaserialization_serialize(tool, instance, bytes.data(), size), ZETA_OK);
        return bytes;
    }

    SchemaFile schema{sampleSchema()};
    zeta_tool tool = nullptr;
};

} // namespace zetatest
