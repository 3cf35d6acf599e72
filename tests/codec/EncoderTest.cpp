// What toMetadata puts into an instance: which tags get a value, with what,
// and what is left out. Instances are read back through the library.
#include <functional>

#include <gtest/gtest.h>

#include "CodecFixture.h"
#include "SchemaFile.h"

namespace DataServiceNamespace::testing {
namespace {

using Tags = std::vector<std::string>;

// A record, the tags its instance must list, and one value to check.
struct Encoding {
    const char *name;
    std::function<zeta_instance(ServiceCodec &)> encode;
    Tags tags;
    const char *textTag = nullptr; // read back as text; null: none
    std::string text = {};
};

template <class Record> std::function<zeta_instance(ServiceCodec &)> encoded(Record record) {
    return [record](ServiceCodec &codec) { return codec.toMetadata(record, codec.tool); };
}

std::vector<Encoding> encodings() {
    ServiceError error{};
    error.processingOK = 1;
    DataServiceRequestData withNul{};
    withNul.action = std::string("ab\0cd", 5);
    ServiceData linked{};
    linked.links = {LinkData{"first", "u"}, LinkData{"second", "u"}};
    static char image[] = {'\x89', 'P', '\0', 'N'}; // outlives the table
    DeviceIdImageResData nullImage{}, emptyImage{}, fullImage{};
    nullImage.image_data_opaque_size = 4;
    emptyImage.image_data = image;
    fullImage.image_data = image;
    fullImage.image_data_opaque_size = 4;
    fullImage.image_file_path = "never sent";
    return {
        {"EmptyTextsAreSet", encoded(DataServiceRequestData{}),
         {"action", "version", "session_key"}, "session_key", ""},
        {"ZeroIntegersAreSet", encoded(SmtpSettingData{}),
         {"id", "host", "port", "username", "password", "sender", "need_auth", "need_ssl"}},
        {"ProcessingFlagIsNotSent", encoded(error), {"request_data", "errorCode", "errorMesg"}},
        {"RequestWithoutHeaderStartsWithUrl", encoded(VerifyAuthenticationReqData{}),
         {"url", "signature", "timestamp", "session_key", "vendor", "error"}},
        {"TextTravelsUpToItsNul", encoded(withNul), {"action", "version", "session_key"},
         "action", "ab"},
        {"EmptyRecordListIsNotSent", encoded(ServiceData{}),
         {"id", "type", "service_port", "service_switch"}},
        {"RecordListIsSent", encoded(linked),
         {"id", "type", "service_port", "service_switch", "links"}},
        {"EmptyTextListIsNotSent", encoded(DeviceData{}), {"id", "name", "type"}},
        {"NullImageIsNotSent", encoded(nullImage), {"error"}},
        {"ImageOfSizeZeroIsNotSent", encoded(emptyImage), {"error"}},
        {"ImageIsSentWithItsNuls", encoded(fullImage), {"image_data", "error"}, "image_data",
         std::string("\x89P\0N", 4)},
    };
}

class RecordEncoding : public CodecTest, public ::testing::WithParamInterface<Encoding> {};

TEST_P(RecordEncoding, ListsExactlyTheTransmittedTags) {
    zeta_instance instance = GetParam().encode(sender);
    EXPECT_EQ(tags(sender.tool, instance), GetParam().tags);
    if (GetParam().textTag) {
        // Opaque bytes read back as text come whole, NULs included.
        uint32 size = 0;
        zetaserialization_getStringTagValueSize(sender.tool, instance, GetParam().textTag, &size);
        std::vector<char> value(size);
        zetaserialization_getStringTagValue(sender.tool, instance, GetParam().textTag,
                                            value.data());
        EXPECT_EQ(std::string(value.data(), size - 1), GetParam().text);
    }
    zetaserialization_destroyMetadataInstance(sender.tool, &instance);
}

INSTANTIATE_TEST_SUITE_P(
    Encoder, RecordEncoding, ::testing::ValuesIn(encodings()),
    [](const ::testing::TestParamInfo<Encoding> &info) { return std::string(info.param.name); });

TEST_F(CodecTest, RecordListElementsKeepTheirOrder) {
    ServiceData service{};
    for (const char *ref : {"first", "second", "third"})
        service.links.push_back(LinkData{ref, "url"});
    zeta_instance instance = sender.toMetadata(service, sender.tool);
    uint32 count = 0;
    zetaserialization_getContainerTagSize(sender.tool, instance, "links", &count);
    ASSERT_EQ(count, 3u);
    for (uint32 i = 0; i < count; ++i) {
        zeta_instance link = nullptr;
        zetaserialization_getNestedContainerTagValue(sender.tool, instance, "links", i, &link);
        EXPECT_EQ(text(sender.tool, link, "ref"), service.links[i].ref);
    }
    zetaserialization_destroyMetadataInstance(sender.tool, &instance);
}

// With a tool that knows no types every instance is null; with one that knows
// only the header, the header instances made for the error records are
// refused by their null parents and released (checked by the leak checker).
TEST(EncoderWithoutTypes, YieldsNullInstancesAndLeaksNothing) {
    zetatest::SchemaFile headerOnly(
        "syntax = \"proto2\";\nmessage DataServiceRequestData { optional bytes action = 1; }\n");
    for (const std::string &path : {std::string("/nonexistent/ConfigSerializationDef.txt"),
                                    headerOnly.path()}) {
        ServiceCodec codec;
        codec.createTool(path);
        ASSERT_NE(codec.tool, nullptr);
        zeta_instance instance = codec.toMetadata(DeviceIdReqData{}, codec.tool);
        EXPECT_EQ(instance, nullptr) << path;
        char *data = reinterpret_cast<char *>(&instance);
        uint32 size = 9;
        encodeInstance(codec.tool, &instance, &data, &size);
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(size, 0u);
    }
}

TEST(CodecTool, IsCreatedAgainWithoutLossAndDestroyedOnce) {
    ServiceCodec codec;
    EXPECT_EQ(codec.destroyTool(), 1);
    EXPECT_EQ(codec.createTool(DS_DEFINITION_FILE), 1);
    EXPECT_EQ(codec.createTool(""), 1); // the working directory's file; the first tool is freed
    zeta_instance instance = codec.toMetadata(DeviceIdReqData{}, codec.tool);
    EXPECT_NE(instance, nullptr);
    zetaserialization_destroyMetadataInstance(codec.tool, &instance);
    EXPECT_EQ(codec.destroyTool(), 1);
    EXPECT_EQ(codec.tool, nullptr);
}

} // namespace
} // namespace DataServiceNamespace::testing
