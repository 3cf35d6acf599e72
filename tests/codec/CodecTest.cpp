// The codec: every record round-tripped between two tools, what the encoders
// leave out, and how the decoders fill records from instances built by hand.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "RecordTypeList.h"
#include "SampleRecords.h"
#include "RecordCodec.h"

namespace DataServiceNamespace::testing {
namespace {

using Problems = std::vector<std::pair<std::string, int32>>;
const int32 U = unexpectedTag;
const int32 M = missingTag;

// A sending and a receiving codec, each with a tool of its own. Instances
// built by hand are made in the sender's tool, which releases them at the end.
class Codec : public ::testing::Test {
protected:
    void SetUp() override {
        sender.createTool(DS_DEFINITION_FILE);
        receiver.createTool(DS_DEFINITION_FILE);
    }

    template <class Record>
    Problems decode(Record &record, zeta_instance instance, zeta_tool tool = nullptr) {
        TagProblemList problems;
        receiver.fromMetadata(record, instance, tool ? tool : sender.tool, problems);
        Problems pairs;
        for (const TagProblem &problem : problems)
            pairs.emplace_back(problem.tagName, problem.kind);
        return pairs;
    }

    // Sends a record as bytes from the sender's tool to the receiver's.
    template <class Record> Problems roundTrip(const Record &in, Record &out) {
        const ByteBuffer bytes = encodeRecord(sender, in);
        zeta_instance instance = nullptr;
        EXPECT_EQ(zetaserialization_deserialize(receiver.tool, bytes.data(), bytes.size(),
                                                &instance),
                  ZETA_OK);
        return decode(out, instance, receiver.tool);
    }

    zeta_instance make(const char *type) {
        zeta_instance instance = nullptr;
        zetaserialization_createMetadataInstance(sender.tool, type, &instance);
        return instance;
    }

    RecordCodec sender;
    RecordCodec receiver;
};

template <class Record> class RoundTripOf : public Codec {};
TYPED_TEST_SUITE(RoundTripOf, AllRecordTypes, RecordTypeName);

TYPED_TEST(RoundTripOf, FilledRecordComesBackWholeWithoutProblems) {
    TypeParam sent{}, received{};
    sampleFill(sent, 1);
    EXPECT_EQ(this->roundTrip(sent, received), Problems{});
    EXPECT_EQ(recordDifference(sent, received), "");
    releaseOpaque(sent);
    releaseOpaque(received);
}

// Every other field of a default record travels: empty texts and zeros too.
TEST_F(Codec, EncoderSendsNoTagForAnEmptyListOrImage) {
    DeviceData device{};
    EXPECT_EQ(roundTrip(DeviceData{}, device), (Problems{{"components", M}}));
    ServiceData service{};
    EXPECT_EQ(roundTrip(ServiceData{}, service), (Problems{{"links", M}}));
    char image[] = "image";
    DeviceIdImageResData nullImage{}, emptyImage{}, reply{};
    nullImage.image_data_opaque_size = 4;
    emptyImage.image_data = image;
    EXPECT_EQ(roundTrip(nullImage, reply), (Problems{{"image_data", M}}));
    EXPECT_EQ(roundTrip(emptyImage, reply), (Problems{{"image_data", M}}));
}

// Without a definition file every instance is null and encodes to nothing;
// creating the tool again frees the first one.
TEST(CodecTool, WithoutDefinitionEncodesNothingAndIsCreatedAgainWithoutLoss) {
    RecordCodec codec;
    EXPECT_EQ(codec.createTool("/nonexistent/ConfigSerializationDef.txt"), 1);
    zeta_instance instance = codec.toMetadata(DeviceIdReqData{}, codec.tool);
    EXPECT_EQ(instance, nullptr);
    const ByteBuffer encoded = encodeInstance(codec.tool, instance);
    EXPECT_EQ(encoded.data(), nullptr);
    EXPECT_EQ(encoded.size(), 0u);
    EXPECT_EQ(codec.createTool(""), 1); // the file in the working directory
    EXPECT_NE(codec.toMetadata(DeviceIdReqData{}, codec.tool), nullptr);
    EXPECT_EQ(codec.destroyTool(), 1); // releases the instance
    EXPECT_EQ(codec.tool, nullptr);
}

// Nested records are decoded during the tag loop into fresh records and
// assigned whole: their problems come first, under bare names, and their
// untransmitted processingOK falls back to 0. Then come the tags the record
// does not have, in the instance's order, then its own missing field tags,
// whose fields keep their values. Text stops at its first NUL and keeps bytes
// that are not UTF-8.
TEST_F(Codec, DecoderReportsProblemsInOrderAndAssignsNestedRecordsWhole) {
    zeta_instance instance = make("ServiceIdReqData");
    zeta_instance header = make("DataServiceRequestData"), error = make("ServiceError");
    zetaserialization_setOpaqueTagValue(sender.tool, header, "action", 5, "ab\0cd");
    zetaserialization_setStringTagValue(sender.tool, header, "session_key", "\xff\xfe\x80");
    zetaserialization_assignNestedTagValue(sender.tool, instance, "request_data", header);
    zetaserialization_setStringTagValue(sender.tool, instance, "id", "id");
    zetaserialization_setStringTagValue(sender.tool, error, "errorMesg", "failed");
    zetaserialization_assignNestedTagValue(sender.tool, instance, "error", error);

    ServiceIdReqData request{};
    request.request_data.version = "old";
    request.error.processingOK = 1;
    request.error.errorCode = 4;
    EXPECT_EQ(decode(request, instance),
              (Problems{{"version", M}, {"request_data", M}, {"errorCode", M}}));
    EXPECT_EQ(recordDifference(request.request_data, {"ab", "", "\xff\xfe\x80"}, true), "");
    EXPECT_EQ(recordDifference(request.error, {{}, 0, "failed", 0}, true), "");

    ServiceError other{}; // shares only request_data with the instance
    other.errorCode = 4;
    other.processingOK = 1;
    EXPECT_EQ(decode(other, instance), (Problems{{"version", M}, {"id", U}, {"error", U},
                                                 {"errorCode", M}, {"errorMesg", M}}));
    EXPECT_EQ(other.request_data.action, "ab");
    EXPECT_EQ(other.errorCode, 4);
    EXPECT_EQ(other.processingOK, 1);
}

TEST_F(Codec, DecoderAppendsToListsWithFreshElements) {
    DeviceData device{};
    device.components = {"kept"};
    zeta_instance instance = make("DeviceData");
    zetaserialization_addStringContainerTagValue(sender.tool, instance, "components", "new");
    decode(device, instance);
    EXPECT_EQ(device.components, (std::vector<cfstring>{"kept", "new"}));

    ServiceData service{};
    service.links = {LinkData{"kept", "url"}};
    instance = make("ServiceData");
    zeta_instance link = make("LinkData");
    zetaserialization_setStringTagValue(sender.tool, link, "ref", "new");
    zetaserialization_addNestedContainerTagValue(sender.tool, instance, "links", link);
    decode(service, instance);
    ASSERT_EQ(service.links.size(), 2u);
    EXPECT_EQ(service.links[0].url, "url");
    EXPECT_EQ(service.links[1].ref, "new");
    EXPECT_EQ(service.links[1].url, "");
}

// The previous array is never the decoder's to free; an empty value gives none.
TEST_F(Codec, DecoderCopiesImageBytesIntoAnArrayOfTheirOwn) {
    char previous[] = "previous";
    DeviceIdImageResData reply{};
    reply.image_data = previous;
    reply.image_file_path = "path";
    zeta_instance instance = make("DeviceIdImageResData");
    zetaserialization_setOpaqueTagValue(sender.tool, instance, "image_data", 5, "\0a\0b\0");
    EXPECT_EQ(decode(reply, instance), (Problems{{"error", M}}));
    ASSERT_NE(reply.image_data, previous);
    EXPECT_EQ(std::string(reply.image_data, reply.image_data_opaque_size),
              std::string("\0a\0b\0", 5));
    EXPECT_EQ(reply.image_file_path, "path");
    delete[] reply.image_data;
    reply.image_data = previous;
    zetaserialization_setOpaqueTagValue(sender.tool, instance, "image_data", 0, nullptr);
    decode(reply, instance);
    EXPECT_EQ(reply.image_data, nullptr);
    EXPECT_EQ(reply.image_data_opaque_size, 0u);
}

} // namespace
} // namespace DataServiceNamespace::testing
