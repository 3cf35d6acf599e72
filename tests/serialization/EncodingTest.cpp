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

// count Node messages, each the "next" of the one before, built in linear
// time: every length is a padded three-byte varint, which protobuf accepts.
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

TEST_F(Encoding, SecondToolReadsBackTheTreeAndTheExactBytes) {
    zeta_instance sample = make("Sample");
    zetaserialization_setStringTagValue(tool, sample, "text", "\xff\xfe not UTF-8");
    zetaserialization_assignNestedTagValue(tool, sample, "header", make("Header"));
    zetaserialization_addNestedContainerTagValue(tool, sample, "items", make("Item"));
    zetaserialization_addStringContainerTagValue(tool, sample, "labels", "");
    zetaserialization_setOpaqueTagValue(tool, sample, "blob", 3, "\0\1\0");
    const std::vector<char> bytes = encode(sample);
    zetaserialization_destroyMetadataInstance(tool, &sample);

    zeta_instance copy = nullptr;
    ASSERT_EQ(decode(std::string(bytes.begin(), bytes.end()), &copy), ZETA_OK);
    std::swap(tool, peer); // the helpers read through tool
    EXPECT_EQ(tags(copy), (std::vector<std::string>{"text", "header", "items", "labels", "blob"}));
    EXPECT_EQ(text(copy, "text"), "\xff\xfe not UTF-8");
    EXPECT_EQ(encode(copy), bytes);
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

// A buffer, well-formed or not, and the code it gives.
struct Buffer {
    const char *name;
    std::string bytes;
    int expected;
};

std::vector<Buffer> buffers() {
    const std::string valid = envelope("Sample", field(9, "hi"));
    std::string group;
    for (int i = 0; i < 100000; ++i)
        group += varint(99 << 3 | 3); // start of a group, never ended
    return {
        {"Empty", "", ZETA_EDECODE},
        {"EmptyBody", envelope("Sample", ""), ZETA_OK},
        {"TagUnknownToTheSchema", envelope("Sample", field(99, "dropped")), ZETA_OK},
        {"NestingBelowTheLimit", envelope("Node", deepNodes(90)), ZETA_OK},
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
        {"NestingBeyondTheLimit", envelope("Node", deepNodes(101)), ZETA_EDECODE},
        {"HugeNesting", envelope("Node", deepNodes(100000)), ZETA_EDECODE},
        {"UnendedGroups", envelope("Sample", group), ZETA_EDECODE},
    };
}

class BufferDecoding : public Encoding, public ::testing::WithParamInterface<Buffer> {};

TEST_P(BufferDecoding, GivesItsCodeAndAnInstanceOnlyWhenItDecodes) {
    zeta_instance instance = nullptr;
    EXPECT_EQ(decode(GetParam().bytes, &instance), GetParam().expected);
    EXPECT_EQ(instance != nullptr, GetParam().expected == ZETA_OK);
    zetaserialization_destroyMetadataInstance(peer, &instance);
}

INSTANTIATE_TEST_SUITE_P(Encoding, BufferDecoding, ::testing::ValuesIn(buffers()),
                         [](const ::testing::TestParamInfo<Buffer> &info) {
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

} // namespace
} // namespace zetatest
