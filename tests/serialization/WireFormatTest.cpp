// The wire format is protobuf's encoding of the definition file: for every
// record type, code that protoc generates from the same file reads our bytes
// and writes the very same bytes, and the codec decodes what it writes; and
// the library reads bodies that only another writer makes as protobuf does.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "GeneratedMessages.h"
#include "RecordTypeList.h"
#include "SampleRecords.h"
#include "RecordCodec.h"
#include "WireBytes.h"

namespace DataServiceNamespace::testing {
namespace {

template <class Record> class WireFormatOf : public ::testing::Test {
protected:
    void SetUp() override { codec.createTool(DS_DEFINITION_FILE); }

    // The records each type is checked with: a default one (empty texts, no
    // list elements, no image), and two filled ones, the second with negative
    // integers (ten-byte varints).
    static std::vector<Record> samples() {
        std::vector<Record> records(3);
        sampleFill(records[1], 1);
        sampleFill(records[2], -3);
        return records;
    }

    RecordCodec codec;
};
TYPED_TEST_SUITE(WireFormatOf, AllRecordTypes, RecordTypeName);

TYPED_TEST(WireFormatOf, GeneratedCodeReadsOurBytesAndWritesThemAgain) {
    for (TypeParam &sent : this->samples()) {
        std::string type, body;
        ASSERT_TRUE(splitEnvelope(encodedBytes(this->codec, sent), &type, &body));
        EXPECT_EQ(type, RecordInfo<TypeParam>::typeName);
        auto message = generatedMessage<TypeParam>();
        ASSERT_NE(message, nullptr);
        ASSERT_TRUE(message->ParseFromString(body));
        EXPECT_TRUE(message->GetReflection()->GetUnknownFields(*message).empty());
        EXPECT_EQ(message->SerializeAsString(), body);
        TypeParam received{};
        fromGenerated(*message, received);
        EXPECT_EQ(recordDifference(sent, received), "");
        releaseOpaque(sent);
        releaseOpaque(received);
    }
}

TYPED_TEST(WireFormatOf, CodecDecodesGeneratedBytesAndEncodesTheSame) {
    for (TypeParam &sent : this->samples()) {
        auto message = generatedMessage<TypeParam>();
        ASSERT_NE(message, nullptr);
        toGenerated(sent, *message);
        const std::string bytes =
            envelope(RecordInfo<TypeParam>::typeName, message->SerializeAsString());
        EXPECT_EQ(encodedBytes(this->codec, sent), bytes);
        TypeParam received{};
        TagProblemList problems;
        decodeBytes(this->codec, received, bytes.data(), static_cast<uint32>(bytes.size()),
                    problems);
        // Only list tags without elements and an absent image have no value.
        for (const TagProblem &problem : problems)
            EXPECT_EQ(problem.kind, missingTag) << problem.tagName;
        EXPECT_EQ(recordDifference(sent, received), "");
        releaseOpaque(sent);
        releaseOpaque(received);
    }
}

// Bodies that our encoder never writes but a peer's may: the library must
// read them as protobuf does (merging, last value wins, unknown and
// mistyped fields dropped) or refuse them as protobuf does.
struct OddBody {
    const char *name;
    std::string bytes; // a DeviceIdResData body
};

using wire::field;
using wire::key;
using wire::varint;

// ServiceError is field 2 of DeviceIdResData, errorCode field 2 of ServiceError.
std::string errorCode(uint64_t value) { return field(2, key(2, 0) + varint(value)); }

std::vector<OddBody> oddBodies() {
    const std::string device = field(1, field(1, "cam") + field(4, "a"));
    return {
        {"NestedTwiceIsMerged", device + field(1, field(2, "name") + field(4, "b"))},
        {"TextTwiceKeepsTheLast", field(1, field(1, "first") + field(1, "second"))},
        {"UnknownFieldsOfEveryWireType",
         device + key(9, 0) + varint(300) + key(10, 1) + "12345678" + key(11, 5) + "1234" +
             field(12, "x") + key(13, 3) + key(14, 0) + varint(1) + key(13, 4)},
        {"KnownFieldWithAnotherWireType", device + field(2, key(2, 2) + varint(1) + "x")},
        {"Int32FromATenByteVarint", errorCode(~uint64_t{0})},
        {"Int32TruncatedFromSixtyFourBits", errorCode(uint64_t{1} << 40 | 7)},
        {"EmptyBody", ""},
        {"TagZero", device + std::string(1, '\0')},
        {"EndGroupWithoutStart", device + key(13, 4)},
        {"WireTypeSix", device + key(9, 6)},
        {"LengthPastTheEnd", key(1, 2) + varint(50) + "short"},
        {"NestedLengthPastItsParent", field(1, key(1, 2) + varint(9) + "abc") + "defghi"},
        {"TruncatedVarint", key(2, 2) + varint(3) + key(2, 0) + "\x80\x80"},
        {"GroupNeverEnded", device + key(13, 3) + key(14, 0) + varint(1)},
    };
}

class OddBodyParsing : public ::testing::TestWithParam<OddBody> {
protected:
    void SetUp() override { codec.createTool(DS_DEFINITION_FILE); }
    RecordCodec codec;
};

TEST_P(OddBodyParsing, IsReadOrRefusedAsGeneratedCodeDoes) {
    generated::DeviceIdResData expected;
    const bool parses = expected.ParseFromString(GetParam().bytes);
    expected.DiscardUnknownFields();

    const std::string bytes = envelope("DeviceIdResData", GetParam().bytes);
    zeta_instance instance = nullptr;
    const int result = zetaserialization_deserialize(codec.tool, bytes.data(),
                                                     static_cast<uint32_t>(bytes.size()), &instance);
    ASSERT_EQ(result, parses ? ZETA_OK : ZETA_EDECODE);
    if (!parses)
        return;
    const ByteBuffer encoded = encodeInstance(codec.tool, instance);
    std::string type, body;
    EXPECT_TRUE(splitEnvelope(std::string(encoded.data(), encoded.size()), &type, &body));
    EXPECT_EQ(body, expected.SerializeAsString());
}

INSTANTIATE_TEST_SUITE_P(Library, OddBodyParsing, ::testing::ValuesIn(oddBodies()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace DataServiceNamespace::testing
