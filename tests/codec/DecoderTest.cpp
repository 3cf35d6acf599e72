// How fromMetadata fills a record from instances built by hand: the problem
// report and its order, what fields keep or lose, lists appended to, the
// image bytes, and a peer whose tags disagree with the records.
#include <cstring>

#include <gtest/gtest.h>

#include "CodecFixture.h"
#include "SchemaFile.h"

namespace DataServiceNamespace::testing {
namespace {

const int32 U = unexpectedTag;
const int32 M = missingTag;

// Builds instances in the sender's tool and decodes them with the receiver.
class Decoder : public CodecTest {
protected:
    zeta_instance make(const char *type) {
        zeta_instance instance = nullptr;
        zetaserialization_createMetadataInstance(sender.tool, type, &instance);
        return instance;
    }
    void set(zeta_instance instance, const char *tag, const char *value) {
        zetaserialization_setStringTagValue(sender.tool, instance, tag, value);
    }
    void set(zeta_instance instance, const char *tag, int32 value) {
        zetaserialization_setInt32TagValue(sender.tool, instance, tag, value);
    }
    void nest(zeta_instance instance, const char *tag, zeta_instance child) {
        zetaserialization_assignNestedTagValue(sender.tool, instance, tag, child);
    }
    // Decodes, then destroys the instance.
    template <class Record> Problems decode(Record &record, zeta_instance instance) {
        TagProblemList problems;
        receiver.fromMetadata(record, instance, sender.tool, problems);
        zetaserialization_destroyMetadataInstance(sender.tool, &instance);
        return asPairs(problems);
    }
};

TEST_F(Decoder, MissingTopLevelFieldKeepsItsValueWhileNestedOnesGetDefaults) {
    ServiceIdReqData record{};
    record.id = "old id";
    record.request_data.version = "old version";
    record.error.errorMesg = "old message";
    zeta_instance instance = make("ServiceIdReqData");
    zeta_instance header = make("DataServiceRequestData");
    set(header, "action", "services_id");
    nest(instance, "request_data", header);
    set(instance, "id", "new id");

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
    set(error, "errorMesg", "failed");
    nest(instance, "error", error);

    EXPECT_EQ(decode(record, instance),
              (Problems{{"request_data", M}, {"errorCode", M}, {"service_data", M}}));
    EXPECT_EQ(record.error.processingOK, 0);
    EXPECT_EQ(record.error.errorCode, 0);
    EXPECT_EQ(record.error.errorMesg, "failed");
}

TEST_F(Decoder, ListsAreAppendedToWithFreshElements) {
    DeviceData device{};
    device.components = {"kept 1", "kept 2"};
    zeta_instance instance = make("DeviceData");
    for (const char *component : {"new 1", "new 2", "new 3"})
        zetaserialization_addStringContainerTagValue(sender.tool, instance, "components",
                                                     component);
    decode(device, instance);
    EXPECT_EQ(device.components,
              (std::vector<cfstring>{"kept 1", "kept 2", "new 1", "new 2", "new 3"}));

    ServiceData service{};
    service.links = {LinkData{"kept", "url"}};
    instance = make("ServiceData");
    for (const char *ref : {"new 1", "new 2"}) {
        zeta_instance link = make("LinkData");
        set(link, "ref", ref);
        zetaserialization_addNestedContainerTagValue(sender.tool, instance, "links", link);
    }
    EXPECT_EQ(decode(service, instance), (Problems{{"url", M}, {"url", M}, {"id", M}, {"type", M},
                                                   {"service_port", M}, {"service_switch", M}}));
    ASSERT_EQ(service.links.size(), 3u);
    EXPECT_EQ(service.links[2].ref, "new 2");
    EXPECT_EQ(service.links[2].url, "");
}

TEST_F(Decoder, ImageBytesAreCopiedIntoAnArrayOfTheirOwn) {
    char previous[] = "previous"; // never the decoder's to free
    DeviceIdImageResData reply{};
    reply.image_data = previous;
    reply.image_data_opaque_size = sizeof previous;
    reply.image_file_path = "path";
    reply.device_id = "device";
    zeta_instance instance = make("DeviceIdImageResData");
    zetaserialization_setOpaqueTagValue(sender.tool, instance, "image_data", 5, "\0a\0b\0");

    EXPECT_EQ(decode(reply, instance), (Problems{{"error", M}}));
    ASSERT_NE(reply.image_data, previous);
    EXPECT_EQ(std::string(reply.image_data, reply.image_data_opaque_size),
              std::string("\0a\0b\0", 5));
    EXPECT_EQ(reply.image_file_path, "path");
    EXPECT_EQ(reply.device_id, "device");
    delete[] reply.image_data;

    // An empty value has a tag, and gives a null array.
    reply.image_data = previous;
    instance = make("DeviceIdImageResData");
    zetaserialization_setOpaqueTagValue(sender.tool, instance, "image_data", 0, nullptr);
    decode(reply, instance);
    EXPECT_EQ(reply.image_data, nullptr);
    EXPECT_EQ(reply.image_data_opaque_size, 0u);
}

TEST_F(Decoder, TextIsCutAtItsFirstNulAndKeepsBytesThatAreNotUtf8) {
    DataServiceRequestData header{};
    zeta_instance instance = make("DataServiceRequestData");
    zetaserialization_setOpaqueTagValue(sender.tool, instance, "action", 5, "ab\0cd");
    set(instance, "version", "\xff\xfe\x80");
    set(instance, "session_key", "");
    EXPECT_EQ(decode(header, instance), Problems{});
    EXPECT_EQ(header.action, "ab");
    EXPECT_EQ(header.version, "\xff\xfe\x80");
}

TEST_F(Decoder, EmptyListOfTheSenderShowsAsAMissingTag) {
    DeviceData sent{};
    DeviceData received{};
    EXPECT_EQ(roundTrip(sent, received), (Problems{{"components", M}}));
}

// A peer whose schema disagrees with the records: tags the records do not
// have, names that differ only in case, tags of another kind than the field.
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
message ServiceIdReqData { optional bytes request_data = 1; }
message DeviceData { optional bytes components = 1; optional int32 id = 2; }
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
    set(instance, "processingOK", 1);
    set(instance, "errormesg", "lower case");
    zeta_instance header = make("DataServiceRequestData");
    set(header, "action", "a");
    set(header, "version", 3);
    set(header, "Session_key", "k");
    nest(instance, "request_data", header);
    set(instance, "errorCode", 5);
    set(instance, "errorMesg", "message");

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

TEST_F(DisagreeingPeer, TagsOfAnotherKindGiveDefaultsOrLeaveTheField) {
    ServiceIdReqData request{};
    request.request_data.action = "old";
    zeta_instance instance = make("ServiceIdReqData");
    set(instance, "request_data", "not a record");
    EXPECT_EQ(decode(request, instance), (Problems{{"action", M},
                                                   {"version", M},
                                                   {"session_key", M},
                                                   {"id", M},
                                                   {"error", M}}));
    EXPECT_EQ(request.request_data.action, "");

    DeviceData device{};
    device.id = "old";
    device.components = {"kept"};
    instance = make("DeviceData");
    set(instance, "components", "not a list");
    set(instance, "id", 9);
    EXPECT_EQ(decode(device, instance), (Problems{{"name", M}, {"type", M}}));
    EXPECT_EQ(device.components, std::vector<cfstring>{"kept"});
    EXPECT_EQ(device.id, "");

    SmtpSettingData smtp{};
    smtp.port = 77;
    instance = make("SmtpSettingData");
    set(instance, "port", "25");
    EXPECT_EQ(decode(smtp, instance).size(), 7u);
    EXPECT_EQ(smtp.port, 77); // the failed read leaves the field alone
}

} // namespace
} // namespace DataServiceNamespace::testing
