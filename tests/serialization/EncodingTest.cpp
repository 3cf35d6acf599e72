// The encoded form: what a buffer holds, that a second tool reads it back, and
// that no malformed, truncated, random or deeply nested buffer gets through
// or crashes the library.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SchemaFile.h"

namespace zetatest {
namespace {

std::string varint(uint64_t value) {
    std::string bytes;
    while (value >= 0x80) {
        bytes.push_back(static_cast<char>(0x80 | (value & 0x7F)));
        value >>= 7;
    }
    bytes.push_back(static_cast<char>(value));
    return bytes;
}

// A length-delimited protobuf field.
std::string field(int number, const std::string &payload) {
    return varint(static_cast<uint64_t>(number) << 3 | 2) + varint(payload.size()) + payload;
}

// The buffer format: the type name as field 1, the message bytes as field 2.
std::string envelope(const std::string &type, const std::string &body) {
    return field(1, type) + field(2, body);
}

// count Node messages, each the "next" of the one before.
std::string nestedNodes(int count) {
    std::string body;
    for (int i = 0; i < count; ++i)
        body = field(1, body);
    return body;
}

// count Node messages nested as above, built in linear time: every length is
// written as a padded three-byte varint, which protobuf accepts.
std::string deepNodes(int count) {
    std::string body;
    for (int i = 0; i < count; ++i) {
        const uint32_t length = 4u * static_cast<uint32_t>(count - 1 - i);
        body += '\x0a';
        body += static_cast<char>(0x80 | (length & 0x7F));
        body += static_cast<char>(0x80 | ((length >> 7) & 0x7F));
        body += static_cast<char>(length >> 14);
    }
    return body;
}

class Encoding : public ToolTest {
protected:
    // Deserializes into a second tool over the same file, as a peer would.
    int decode(const std::string &bytes, zeta_instance *instance) {
        return zetaserialization_deserialize(peer, bytes.data(),
                                             static_cast<uint32_t>(bytes.size()), instance);
    }
    void SetUp() override {
        ToolTest::SetUp();
        ASSERT_EQ(zetaserialization_createSerializationTool(&peer), ZETA_OK);
        ASSERT_EQ(zetaserialization_loadMetadataDefintion(peer, schema.path().c_str()), ZETA_OK);
    }
    void TearDown() override {
        zetaserialization_destroySerializationTool(&peer);
        ToolTest::TearDown();
    }
    zeta_tool peer = nullptr;
};

TEST_F(Encoding, SecondToolReadsBackEveryKindOfTag) {
    zeta_instance sample = make("Sample");
    zetaserialization_setStringTagValue(tool, sample, "text", "\xff\xfe not UTF-8");
    zetaserialization_setInt32TagValue(tool, sample, "number", -5);
    zeta_instance header = make("Header");
    zetaserialization_setStringTagValue(tool, header, "version", "");
    zetaserialization_assignNestedTagValue(tool, sample, "header", header);
    for (int i = 0; i < 2; ++i) {
        zeta_instance item = make("Item");
        zetaserialization_setInt32TagValue(tool, item, "count", i);
        zetaserialization_addNestedContainerTagValue(tool, sample, "items", item);
    }
    zetaserialization_addStringContainerTagValue(tool, sample, "labels", "a");
    zetaserialization_setOpaqueTagValue(tool, sample, "blob", 3, "\0\1\0");
    const std::vector<char> bytes = encode(sample);
    zetaserialization_destroyMetadataInstance(tool, &sample);

    zeta_instance copy = nullptr;
    ASSERT_EQ(decode(std::string(bytes.begin(), bytes.end()), &copy), ZETA_OK);
    std::swap(tool, peer); // read with the helpers, which use tool
    EXPECT_EQ(tags(copy),
              (std::vector<std::string>{"text", "number", "header", "items", "labels", "blob"}));
    EXPECT_EQ(text(copy, "text"), "\xff\xfe not UTF-8");
    zeta_instance child = nullptr;
    zetaserialization_getNestedTagValue(tool, copy, "header", &child);
    EXPECT_EQ(tags(child), std::vector<std::string>{"version"});
    EXPECT_EQ(text(child, "version"), "");
    zetaserialization_getNestedContainerTagValue(tool, copy, "items", 1, &child);
    int32_t count = -1;
    zetaserialization_getInt32TagValue(tool, child, "count", &count);
    EXPECT_EQ(count, 1);
    char *blob = nullptr;
    uint32_t size = 0;
    zetaserialization_getOpaqueTagValue(tool, copy, "blob", &size, &blob);
    EXPECT_EQ(std::string(blob, size), std::string("\0\1\0", 3));
    zetaserialization_releaseOpaqueValue(tool, &blob);
    std::swap(tool, peer);
    EXPECT_EQ(zetaserialization_destroyMetadataInstance(peer, &copy), ZETA_OK);
}

TEST_F(Encoding, BufferNamesItsTypeBeforeTheMessageBytes) {
    zeta_instance sample = make("Sample");
    zetaserialization_setStringTagValue(tool, sample, "text", "hi");
    const std::vector<char> bytes = encode(sample);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), envelope("Sample", field(9, "hi")));
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

TEST_F(Encoding, EmptyInstanceEncodesAsItsTypeName) {
    zeta_instance sample = make("Sample");
    const std::vector<char> bytes = encode(sample);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), envelope("Sample", ""));
    zeta_instance copy = nullptr;
    EXPECT_EQ(decode(envelope("Sample", ""), &copy), ZETA_OK);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(tags(copy).empty());
    zetaserialization_destroyMetadataInstance(peer, &copy);
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

TEST_F(Encoding, TagsUnknownToTheSchemaAreDropped) {
    zeta_instance copy = nullptr;
    ASSERT_EQ(decode(envelope("Sample", field(9, "kept") + field(99, "dropped")), &copy),
              ZETA_OK);
    std::swap(tool, peer);
    const std::vector<char> bytes = encode(copy);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), envelope("Sample", field(9, "kept")));
    std::swap(tool, peer);
    zetaserialization_destroyMetadataInstance(peer, &copy);
}

TEST_F(Encoding, NestingUpToTheProtobufLimitDecodes) {
    zeta_instance top = nullptr;
    ASSERT_EQ(decode(envelope("Node", deepNodes(90)), &top), ZETA_OK);
    zeta_instance node = top;
    int depth = 0;
    while (zetaserialization_getNestedTagValue(peer, node, "next", &node) == ZETA_OK)
        ++depth;
    EXPECT_EQ(depth, 90);
    zetaserialization_destroyMetadataInstance(peer, &top);
}

// A buffer that must not decode, and the code it gives.
struct Malformed {
    const char *name;
    std::string bytes;
    int expected;
};

std::vector<Malformed> malformedBuffers() {
    const std::string valid = envelope("Sample", field(9, "hi"));
    std::string group;
    for (int i = 0; i < 100000; ++i)
        group += varint(99 << 3 | 3); // start of a group, never ended
    return {
        {"Empty", "", ZETA_EDECODE},
        {"TrailingByte", valid + "x", ZETA_EDECODE},
        {"TwoEnvelopes", valid + valid, ZETA_EDECODE},
        {"BodyFirst", field(2, field(9, "hi")) + field(1, "Sample"), ZETA_EDECODE},
        {"NoBody", field(1, "Sample"), ZETA_EDECODE},
        {"WrongWireTypeOfTypeName", "\x08\x06Sample", ZETA_EDECODE},
        {"TypeNameLongerThanBuffer", "\x0a\x7fSample", ZETA_EDECODE},
        {"BodyLengthTooLarge", field(1, "Sample") + "\x12\x05hi", ZETA_EDECODE},
        {"BodyLengthTooSmall", field(1, "Sample") + "\x12\x01" + field(9, "hi"), ZETA_EDECODE},
        {"LengthOfTenBytes", "\x0a\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", ZETA_EDECODE},
        {"TypeNameOf300Bytes", envelope(std::string(300, 'S'), ""), ZETA_EDECODE},
        {"UnknownTypeName", envelope("Nothing", field(9, "hi")), ZETA_ETYPE},
        {"TypeNameInOtherCase", envelope("sample", field(9, "hi")), ZETA_ETYPE},
        {"BodyOfGarbage", envelope("Sample", "\xff\xff\xff\xff"), ZETA_EDECODE},
        {"BodyCutInsideAField", envelope("Sample", field(9, "hi").substr(0, 3)), ZETA_EDECODE},
        {"NestingBeyondTheLimit", envelope("Node", nestedNodes(200)), ZETA_EDECODE},
        {"HugeNesting", envelope("Node", deepNodes(100000)), ZETA_EDECODE},
        {"UnendedGroups", envelope("Sample", group), ZETA_EDECODE},
    };
}

class MalformedBuffer : public Encoding, public ::testing::WithParamInterface<Malformed> {};

TEST_P(MalformedBuffer, LeavesTheInstanceNull) {
    zeta_instance instance = nullptr;
    EXPECT_EQ(decode(GetParam().bytes, &instance), GetParam().expected);
    EXPECT_EQ(instance, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Encoding, MalformedBuffer, ::testing::ValuesIn(malformedBuffers()),
                         [](const ::testing::TestParamInfo<Malformed> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(Encoding, EveryTruncationOfAValidBufferIsRefused) {
    zeta_instance sample = make("Sample");
    zetaserialization_setStringTagValue(tool, sample, "text", "some text");
    zetaserialization_addNestedContainerTagValue(tool, sample, "items", make("Item"));
    zetaserialization_addStringContainerTagValue(tool, sample, "labels", "label");
    const std::vector<char> bytes = encode(sample);
    zetaserialization_destroyMetadataInstance(tool, &sample);
    for (std::size_t size = 0; size < bytes.size(); ++size) {
        zeta_instance instance = nullptr;
        EXPECT_EQ(zetaserialization_deserialize(peer, bytes.data(), static_cast<uint32_t>(size),
                                                &instance),
                  ZETA_EDECODE)
            << "prefix of " << size << " bytes";
        EXPECT_EQ(instance, nullptr);
    }
}

// Random bytes, alone or behind a valid envelope head, either decode into an
// instance or leave it null; nothing else may happen.
TEST_F(Encoding, RandomBytesDecodeOrLeaveTheInstanceNull) {
    std::mt19937 random(20240611u);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 48);
    int decoded = 0;
    for (int round = 0; round < 4000; ++round) {
        std::string body;
        for (int i = 0, n = length(random); i < n; ++i)
            body.push_back(static_cast<char>(byte(random)));
        const std::string bytes = round % 2 ? envelope("Sample", body) : body;
        zeta_instance instance = nullptr;
        const int result = decode(bytes, &instance);
        EXPECT_EQ(result == ZETA_OK, instance != nullptr) << "round " << round;
        if (result == ZETA_OK) {
            ++decoded;
            EXPECT_EQ(zetaserialization_destroyMetadataInstance(peer, &instance), ZETA_OK);
        }
    }
    EXPECT_GT(decoded, 0); // some random bodies are valid messages: parsing was reached
}

TEST_F(Encoding, NullOrEmptyInputIsRefusedWithoutTouchingTheHandle) {
    zeta_instance instance = nullptr;
    EXPECT_EQ(zetaserialization_deserialize(peer, nullptr, 4, &instance), ZETA_EINVAL);
    EXPECT_EQ(zetaserialization_deserialize(peer, nullptr, 0, &instance), ZETA_EDECODE);
    EXPECT_EQ(zetaserialization_deserialize(peer, "x", 1, nullptr), ZETA_EINVAL);
    EXPECT_EQ(zetaserialization_deserialize(nullptr, "x", 1, &instance), ZETA_EINVAL);
    EXPECT_EQ(instance, nullptr);
}

} // namespace
} // namespace zetatest
