// What toMetadata puts into an instance: which tags get a value, with what,
// and what is left out. Instances are read back through the library.
#include <cstring>

#include <gtest/gtest.h>

#include "CodecFixture.h"
#include "SchemaFile.h"

namespace DataServiceNamespace::testing {
namespace {

using Encoder = CodecTest;
using Tags = std::vector<std::string>;

TEST_F(Encoder, EmptyTextsAreSetAsEmptyValues) {
    zeta_instance instance = sender.toMetadata(DataServiceRequestData{}, sender.tool);
    EXPECT_EQ(tags(sender.tool, instance), (Tags{"action", "version", "session_key"}));
    uint32 size = 0;
    zetaserialization_getStringTagValueSize(sender.tool, instance, "session_key", &size);
    EXPECT_EQ(size, 1u);
    zetaserialization_destroyMetadataInstance(sender.tool, &instance);
}

TEST_F(Encoder, ZeroIntegersAreSetLikeAnyOther) {
    zeta_instance instance = sender.toMetadata(SmtpSettingData{}, sender.tool);
    EXPECT_EQ(tags(sender.tool, instance), (Tags{"id", "host", "port", "username", "password",
                                                 "sender", "need_auth", "need_ssl"}));
    int32_t port = -1;
    EXPECT_EQ(zetaserialization_getInt32TagValue(sender.tool, instance, "port", &port), ZETA_OK);
    EXPECT_EQ(port, 0);
    zetaserialization_destroyMetadataInstance(sender.tool, &instance);
}

TEST_F(Encoder, ProcessingFlagIsNeverTransmitted) {
    ServiceError error{};
    error.processingOK = 1;
    zeta_instance instance = sender.toMetadata(error, sender.tool);
    EXPECT_EQ(tags(sender.tool, instance), (Tags{"request_data", "errorCode", "errorMesg"}));
    zetaserialization_destroyMetadataInstance(sender.tool, &instance);
}

TEST_F(Encoder, RequestWithoutHeaderStartsWithItsUrl) {
    zeta_instance instance = sender.toMetadata(VerifyAuthenticationReqData{}, sender.tool);
    EXPECT_EQ(tags(sender.tool, instance),
              (Tags{"url", "signature", "timestamp", "session_key", "vendor", "error"}));
    zetaserialization_destroyMetadataInstance(sender.tool, &instance);
}

TEST_F(Encoder, TextTravelsUpToItsFirstNul) {
    DataServiceRequestData header{};
    header.action = std::string("ab\0cd", 5);
    zeta_instance instance = sender.toMetadata(header, sender.tool);
    EXPECT_EQ(text(sender.tool, instance, "action"), "ab");
    zetaserialization_destroyMetadataInstance(sender.tool, &instance);
}

TEST_F(Encoder, ListsGiveOneElementPerEntryInOrderAndNoValueWhenEmpty) {
    ServiceData service{};
    DeviceData device{};
    zeta_instance empty = sender.toMetadata(service, sender.tool);
    EXPECT_EQ(tags(sender.tool, empty), (Tags{"id", "type", "service_port", "service_switch"}));
    zetaserialization_destroyMetadataInstance(sender.tool, &empty);
    empty = sender.toMetadata(device, sender.tool);
    EXPECT_EQ(tags(sender.tool, empty), (Tags{"id", "name", "type"}));
    zetaserialization_destroyMetadataInstance(sender.tool, &empty);

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

struct Image {
    const char *name;
    bool withArray;
    opaque_size size;
    Tags expectedTags;
};

class ImageEncoding : public CodecTest, public ::testing::WithParamInterface<Image> {};

TEST_P(ImageEncoding, CarriesExactlyTheBytesOnlyWhenArrayAndSizeAreSet) {
    char bytes[] = {'\x89', 'P', '\0', 'N', '\0', 'G'};
    DeviceIdImageResData reply{};
    reply.image_data = GetParam().withArray ? bytes : nullptr;
    reply.image_data_opaque_size = GetParam().size;
    reply.image_file_path = "path";
    reply.device_id = "device";
    zeta_instance instance = sender.toMetadata(reply, sender.tool);
    EXPECT_EQ(tags(sender.tool, instance), GetParam().expectedTags);
    char *copy = nullptr;
    uint32 size = 0;
    zetaserialization_getOpaqueTagValue(sender.tool, instance, "image_data", &size, &copy);
    EXPECT_EQ(std::string(copy ? copy : "", size),
              copy ? std::string(bytes, GetParam().size) : std::string());
    zetaserialization_releaseOpaqueValue(sender.tool, &copy);
    zetaserialization_destroyMetadataInstance(sender.tool, &instance);
}

INSTANTIATE_TEST_SUITE_P(
    Encoder, ImageEncoding,
    ::testing::Values(Image{"NullArray", false, 6, {"error"}},
                      Image{"SizeZero", true, 0, {"error"}},
                      Image{"SixBytesWithNuls", true, 6, {"image_data", "error"}},
                      Image{"FirstFourBytes", true, 4, {"image_data", "error"}}),
    [](const ::testing::TestParamInfo<Image> &info) { return std::string(info.param.name); });

// With a tool that knows no types every instance is null; with one that knows
// only the header, the header instances made for the error records are
// refused by their null parents and released (checked by the leak checker).
TEST(EncoderWithoutTypes, YieldsNullInstancesAndLeaksNothing) {
    zetatest::SchemaFile headerOnly("syntax = \"proto2\";\n"
                                    "message DataServiceRequestData { optional bytes action = 1; }\n");
    for (const std::string &path : {std::string("/nonexistent/ConfigSerializationDef.txt"),
                                    headerOnly.path()}) {
        ServiceCodec codec;
        codec.createTool(path);
        ASSERT_NE(codec.tool, nullptr);
        DeviceIdReqData request{};
        request.request_data.action = "devices_id";
        EXPECT_EQ(codec.toMetadata(request, codec.tool), nullptr) << path;
        zeta_instance instance = nullptr;
        char *data = reinterpret_cast<char *>(1);
        uint32 size = 9;
        encodeInstance(codec.tool, &instance, &data, &size);
        EXPECT_EQ(data, nullptr);
        EXPECT_EQ(size, 0u);
    }
}

TEST(CodecTool, IsCreatedOnceAndDestroyedOnce) {
    ServiceCodec codec;
    EXPECT_EQ(codec.destroyTool(), 1);
    EXPECT_EQ(codec.createTool(DS_DEFINITION_FILE), 1);
    EXPECT_EQ(codec.createTool(DS_DEFINITION_FILE), 1); // the first tool is not lost
    EXPECT_NE(codec.tool, nullptr);
    EXPECT_EQ(codec.destroyTool(), 1);
    EXPECT_EQ(codec.tool, nullptr);
    EXPECT_EQ(codec.destroyTool(), 1);
}

TEST(CodecTool, EmptyPathLoadsTheDefinitionFromTheWorkingDirectory) {
    // The build copies the definition file next to this test, its working directory.
    ServiceCodec codec;
    codec.createTool("");
    const zeta_instance instance = codec.toMetadata(DeviceIdReqData{}, codec.tool);
    EXPECT_NE(instance, nullptr);
    zeta_instance owned = instance;
    zetaserialization_destroyMetadataInstance(codec.tool, &owned);
}

} // namespace
} // namespace DataServiceNamespace::testing
