// The wire format is protobuf's encoding of the definition file: for every
// record type, code that protoc generates from the same file reads our bytes
// and writes the very same bytes, and the codec decodes what it writes.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "GeneratedMessages.h"
#include "RecordTypeList.h"
#include "SampleRecords.h"
#include "ServiceCodec.h"

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

    ServiceCodec codec;
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

} // namespace
} // namespace DataServiceNamespace::testing
