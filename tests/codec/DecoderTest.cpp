// How fromMetadata fills a record from instances built by hand: the problem
// report and its order, what fields keep or lose, lists appended to, the
// image bytes, and tags whose kind disagrees with the record's field.
#include <cstring>

#include <gtest/gtest.h>

#include "CodecFixture.h"
#include "SchemaFile.h"

namespace DataServiceNamespace::testing {
namespace {

class Decoder : public CodecTest {
protected:
    zeta_instance make(const char *type) {
        zeta_instance instance = nullptr;
        zetaserialization_createMetadataInstance(tool(), type, &instance);
        return instance;
    }
    void setText(zeta_instance instance, const char *tag, const char *value) {
        zetaserialization_setStringTagValue(tool(), instance, tag, value);
    }
    // Decodes an instance of the sender's tool, then destroys it.
    template <class Record> Problems decode(Record &record, zeta_instance instance) {
        TagProblemList problems;
        receiver.fromMetadata(record, instance, tool(), problems);
        zetaserialization_destroyMetadataInstance(tool(), &instance);
        return asPairs(problems);
    }
    zeta_tool tool() { return sender.tool; }
};

const int32 U = unexpectedTag;
const int32 M = missingTag;

TEST_F(Decoder, MissingTopLevelFieldKeepsItsValueWhileNestedOnesGetDefaults) {
    ServiceIdReqData record{};
    record.id = "old id";
    record.request_data.version = "old version";
    record.error.errorMesg = "old message";
    zeta_instance instance = make("ServiceIdReqData");
    zeta_instance header = make("DataServiceRequestData");
    setText(header, "action", "services_id");
    zetaserialization_assignNestedTagValue(tool(), instance, "request_data", header);
    setText(instance, "id", "new id");

    EXPECT_EQ(decode(record, instance),
              (Problems{{"version", M}, {"session_key", M}, {"error", M}}));
    EXPECT_EQ(record.id, "new id");
    EXPECT_EQ(record.request_data.action, "services_id");
    EXPECT_EQ(record.request_data.version, "");
    EXPECT_EQ(record.error.errorMesg, "old message");
}

TEST_F(Decoder, DecodedErrorReplacesTheProcessingFlag) {
    ServiceIdResData record{};
    record.error.processingOK = 1;
    record.error.errorCode = 4;
    zeta_instance instance = make("ServiceIdResData");
    zeta_instance error = make("ServiceError");
    setText(error, "errorMesg", "failed");
    zetaserialization_assignNestedTagValue(tool(), instance, "error", error);

    EXPECT_EQ(decode(record, instance),
              (Problems{{"request_data", M}, {"errorCode", M}, {"service_data", M}}));
    EXPECT_EQ(record.error.processingOK, 0);
    EXPECT_EQ(record.error.errorCode, 0);
    EXPECT_EQ(record.error.errorMesg, "failed");
}

TEST_F(Decoder, NullInstanceReportsTheFieldTagsOfTheTopLevelRecordOnly) {
    ServiceError error{};
    EXPECT_EQ(decode(error, nullptr),
              (Problems{{"request_data", M}, {"errorCode", M}, {"errorMesg", M}}));
    SmtpSettingData smtp{};
    EXPECT_EQ(decode(smtp, nullptr).size(), 8u);
}

TEST_F(Decoder, ListsAreAppendedToInIndexOrder) {
    DeviceData device{};
    device.components = {"kept 1", "kept 2"};
    zeta_instance instance = make("DeviceData");
    for (const char *component : {"new 1", "new 2", "new 3"})
        zetaserialization_addStringContainerTagValue(tool(), instance, "components", component);
    decode(device, instance);
    EXPECT_EQ(device.components,
              (std::vector<cfstring>{"kept 1", "kept 2", "new 1", "new 2", "new 3"}));

    ServiceData service{};
    service.links = {LinkData{"kept", "url"}};
    instance = make("ServiceData");
    for (const char *ref : {"new 1", "new 2"}) {
        zeta_instance link = make("LinkData");
        setText(link, "ref", ref);
        zetaserialization_addNestedContainerTagValue(tool(), instance, "links", link);
    }
    EXPECT_EQ(decode(service, instance), (Problems{{"url", M}, {"url", M}, {"id", M}, {"type", M},
                                                   {"service_port", M}, {"service_switch", M}}));
    ASSERT_EQ(service.links.size(), 3u);
    EXPECT_EQ(service.links[2].ref, "new 2");
    EXPECT_EQ(service.links[2].url, ""); // a fresh element, not a copy of another
}

TEST_F(Decoder, ImageBytesAreCopiedIntoAnArrayOfTheirOwn) {
    char previous[] = "previous";
    DeviceIdImageResData reply{};
    reply.image_data = previous; // not freed by decoding: it is not the decoder's
    reply.image_data_opaque_size = sizeof previous;
    reply.image_file_path = "path";
    reply.device_id = "device";
    zeta_instance instance = make("DeviceIdImageResData");
    zetaserialization_setOpaqueTagValue(tool(), instance, "image_data", 5, "\0a\0b\0");
    zetaserialization_assignNestedTagValue(tool(), instance, "error", make("ServiceError"));

    decode(reply, instance);
    ASSERT_NE(reply.image_data, nullptr);
    EXPECT_NE(reply.image_data, previous);
    EXPECT_EQ(reply.image_data_opaque_size, 5u);
    EXPECT_EQ(std::memcmp(reply.image_data, "\0a\0b\0", 5), 0);
    EXPECT_EQ(reply.image_file_path, "path");
    EXPECT_EQ(reply.device_id, "device");
    delete[] reply.image_data;
}

TEST_F(Decoder, ImageTagWithAnEmptyValueLeavesANullArrayAndNoTagLeavesTheField) {
    for (bool emptyValue : {false, true}) {
        char previous[] = "previous";
        DeviceIdImageResData reply{};
        reply.image_data = previous;
        reply.image_data_opaque_size = sizeof previous;
        zeta_instance instance = make("DeviceIdImageResData");
        if (emptyValue)
            zetaserialization_setOpaqueTagValue(tool(), instance, "image_data", 0, nullptr);
        const Problems problems = decode(reply, instance);
        if (emptyValue) {
            EXPECT_EQ(problems, (Problems{{"error", M}}));
            EXPECT_EQ(reply.image_data, nullptr);
            EXPECT_EQ(reply.image_data_opaque_size, 0u);
        } else {
            EXPECT_EQ(problems, (Problems{{"image_data", M}, {"error", M}}));
            EXPECT_EQ(reply.image_data, previous);
            EXPECT_EQ(reply.image_data_opaque_size, sizeof previous);
        }
    }
}

TEST_F(Decoder, TextIsCutAtItsFirstNulAndKeepsBytesThatAreNotUtf8) {
    DataServiceRequestData header{};
    zeta_instance instance = make("DataServiceRequestData");
    zetaserialization_setOpaqueTagValue(tool(), instance, "action", 5, "ab\0cd");
    setText(instance, "version", "\xff\xfe\x80");
    setText(instance, "session_key", "");
    EXPECT_EQ(decode(header, instance), Problems{});
    EXPECT_EQ(header.action, "ab");
    EXPECT_EQ(header.version, "\xff\xfe\x80");
    EXPECT_EQ(header.session_key, "");
}

TEST_F(Decoder, EmptyListOfTheSenderShowsAsAMissingTag) {
    DeviceData sent{};
    sent.id = "device";
    DeviceData received{};
    EXPECT_EQ(roundTrip(sent, received), (Problems{{"components", M}}));
    EXPECT_TRUE(received.components.empty());
}

// A peer whose schema disagrees with the records: tags the records do not
// have, names that differ only in case, and tags of another kind than the
// record's field.
const char *const disagreeingSchema = R"(syntax = "proto2";
message DataServiceRequestData {
  optional bytes action = 1;
  optional int32 version = 2;
  optional bytes Session_key = 3;
}
message ServiceError {
  optional int32 processingOK = 1;
  optional bytes errormesg = 2;
  optional DataServiceRequestData request_data = 3;
  optional int32 errorCode = 4;
  optional bytes errorMesg = 5;
}
message ServiceIdReqData {
  optional bytes request_data = 1;
  optional bytes id = 2;
}
message DeviceData {
  optional bytes components = 1;
  optional int32 id = 2;
  optional bytes name = 3;
}
message SmtpSettingData { optional bytes port = 1; }
)";

class DisagreeingPeer : public Decoder {
protected:
    void SetUp() override {
        Decoder::SetUp();
        sender.createTool(schema.path());
    }
    zetatest::SchemaFile schema{disagreeingSchema};
};

TEST_F(DisagreeingPeer, UnknownTagsComeAfterTheTagLoopAndNestedProblemsAreBare) {
    ServiceError error{};
    error.processingOK = 7;
    zeta_instance instance = make("ServiceError");
    zetaserialization_setInt32TagValue(tool(), instance, "processingOK", 1);
    setText(instance, "errormesg", "lower case");
    zeta_instance header = make("DataServiceRequestData");
    setText(header, "action", "a");
    zetaserialization_setInt32TagValue(tool(), header, "version", 3);
    setText(header, "Session_key", "k");
    zetaserialization_assignNestedTagValue(tool(), instance, "request_data", header);
    zetaserialization_setInt32TagValue(tool(), instance, "errorCode", 5);
    setText(instance, "errorMesg", "message");

    EXPECT_EQ(decode(error, instance), (Problems{{"Session_key", U},
                                                 {"session_key", M},
                                                 {"processingOK", U},
                                                 {"errormesg", U}}));
    EXPECT_EQ(error.processingOK, 7);
    EXPECT_EQ(error.errorCode, 5);
    EXPECT_EQ(error.errorMesg, "message");
    EXPECT_EQ(error.request_data.action, "a");
    EXPECT_EQ(error.request_data.version, ""); // an int32 tag read as text
}

TEST_F(DisagreeingPeer, NestedTagOfAnotherKindGivesAFreshDefaultRecord) {
    ServiceIdReqData request{};
    request.request_data.action = "old";
    zeta_instance instance = make("ServiceIdReqData");
    setText(instance, "request_data", "not a record");
    setText(instance, "id", "id");
    EXPECT_EQ(decode(request, instance), (Problems{{"action", M},
                                                   {"version", M},
                                                   {"session_key", M},
                                                   {"error", M}}));
    EXPECT_EQ(request.request_data.action, "");
    EXPECT_EQ(request.id, "id");
}

TEST_F(DisagreeingPeer, ScalarAndListTagsOfAnotherKindChangeNoList) {
    DeviceData device{};
    device.id = "old";
    device.components = {"kept"};
    zeta_instance instance = make("DeviceData");
    setText(instance, "components", "not a list");
    zetaserialization_setInt32TagValue(tool(), instance, "id", 9);
    setText(instance, "name", "name");
    EXPECT_EQ(decode(device, instance), (Problems{{"type", M}}));
    EXPECT_EQ(device.components, std::vector<cfstring>{"kept"});
    EXPECT_EQ(device.id, "");
    EXPECT_EQ(device.name, "name");

    SmtpSettingData smtp{};
    smtp.port = 77;
    instance = make("SmtpSettingData");
    setText(instance, "port", "25");
    EXPECT_EQ(decode(smtp, instance).size(), 7u);
    EXPECT_EQ(smtp.port, 77); // the failed read leaves the field alone
}

} // namespace
} // namespace DataServiceNamespace::testing
