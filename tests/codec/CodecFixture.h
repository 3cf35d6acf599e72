// Test support for the codec: a sending and a receiving codec, each with a
// tool of its own over the definition file, and readers of problem lists.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "ServiceCodec.h"

namespace DataServiceNamespace::testing {

using Problems = std::vector<std::pair<std::string, int32>>;

inline Problems asPairs(const TagProblemList &problems) {
    Problems pairs;
    for (const TagProblem &problem : problems)
        pairs.emplace_back(problem.tagName, problem.kind);
    return pairs;
}

class CodecTest : public ::testing::Test {
protected:
    void SetUp() override {
        sender.createTool(DS_DEFINITION_FILE);
        receiver.createTool(DS_DEFINITION_FILE);
        ASSERT_NE(sender.tool, nullptr);
        ASSERT_NE(receiver.tool, nullptr);
    }

    // Sends a record from one codec's tool to the other's, as bytes, and
    // decodes it into out.
    template <class Record> Problems roundTrip(const Record &in, Record &out) {
        zeta_instance instance = sender.toMetadata(in, sender.tool);
        char *data = nullptr;
        uint32 size = 0;
        encodeInstance(sender.tool, &instance, &data, &size);
        EXPECT_EQ(instance, nullptr);
        zeta_instance received = nullptr;
        zetaserialization_deserialize(receiver.tool, data, size, &received);
        delete[] data;
        EXPECT_NE(received, nullptr);
        TagProblemList problems;
        receiver.fromMetadata(out, received, receiver.tool, problems);
        zetaserialization_destroyMetadataInstance(receiver.tool, &received);
        return asPairs(problems);
    }

    // The tags with a value, in the library's order.
    static std::vector<std::string> tags(zeta_tool tool, zeta_instance instance) {
        char *names = nullptr;
        uint32 count = 0;
        zetaserialization_getHavingValueTagNames(tool, instance, &names, &count);
        std::vector<std::string> listed;
        for (uint32 i = 0; i < count; ++i)
            listed.emplace_back(names + i * ZETA_TAG_NAME_SIZE);
        zetaserialization_releaseTagNames(tool, &names);
        return listed;
    }

    static std::string text(zeta_tool tool, zeta_instance instance, const char *tag) {
        uint32 size = 0;
        zetaserialization_getStringTagValueSize(tool, instance, tag, &size);
        std::vector<char> buffer(size + 1, '\0');
        zetaserialization_getStringTagValue(tool, instance, tag, buffer.data());
        return std::string(buffer.data(), size > 0 ? size - 1 : 0);
    }

    ServiceCodec sender;
    ServiceCodec receiver;
};

} // namespace DataServiceNamespace::testing
