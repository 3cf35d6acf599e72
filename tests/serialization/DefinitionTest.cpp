// Loading definition files: what a tool knows after a good, a missing or a
// broken file, and that a broken one is refused silently and safely.
#include <string>

#include <gtest/gtest.h>

#include "SchemaFile.h"

namespace zetatest {
namespace {

using Definition = ToolTest;

bool knows(zeta_tool tool, const char *type) {
    zeta_instance instance = nullptr;
    const int result = zetaserialization_createMetadataInstance(tool, type, &instance);
    zetaserialization_destroyMetadataInstance(tool, &instance);
    return result == ZETA_OK;
}

TEST_F(Definition, MissingFileLeavesAToolThatKnowsNoTypes) {
    EXPECT_EQ(zetaserialization_loadMetadataDefintion(tool, (schema.path() + ".none").c_str()),
              ZETA_EDEFINITION);
    zeta_instance instance = nullptr;
    EXPECT_EQ(zetaserialization_createMetadataInstance(tool, "Sample", &instance), ZETA_ETYPE);
    EXPECT_EQ(instance, nullptr);
}

TEST_F(Definition, NullPathLeavesAToolThatKnowsNoTypes) {
    EXPECT_EQ(zetaserialization_loadMetadataDefintion(tool, nullptr), ZETA_EINVAL);
    EXPECT_FALSE(knows(tool, "Sample"));
}

TEST_F(Definition, ReloadReplacesTheTypesAndKeepsEarlierInstancesUsable) {
    zeta_instance earlier = make("Sample");
    SchemaFile other("syntax = \"proto2\";\nmessage Other { optional int32 value = 1; }\n");
    ASSERT_EQ(zetaserialization_loadMetadataDefintion(tool, other.path().c_str()), ZETA_OK);
    EXPECT_FALSE(knows(tool, "Sample"));
    EXPECT_TRUE(knows(tool, "Other"));
    EXPECT_EQ(zetaserialization_setStringTagValue(tool, earlier, "text", "still here"), ZETA_OK);
    EXPECT_EQ(text(earlier, "text"), "still here");
    EXPECT_EQ(zetaserialization_destroyMetadataInstance(tool, &earlier), ZETA_OK);
}

struct Broken {
    const char *name;
    std::string text;
};

std::vector<Broken> brokenDefinitions() {
    const std::string head = "syntax = \"proto2\";\n";
    return {
        {"NoSyntaxLine", "message Broken { optional bytes text = 1; }"},
        {"SyntaxError", head + "message Broken { optional bytes text = ; }"},
        {"UnclosedMessage", head + "message Broken { optional bytes text = 1;"},
        {"Proto3", "syntax = \"proto3\";\nmessage Broken { bytes text = 1; }"},
        {"StringTag", head + "message Broken { optional string text = 1; }"},
        {"Int64Tag", head + "message Broken { optional int64 value = 1; }"},
        {"RequiredTag", head + "message Broken { required int32 value = 1; }"},
        {"RepeatedInt32", head + "message Broken { repeated int32 values = 1; }"},
        {"EnumTag", head + "enum Mode { A = 0; }\nmessage Broken { optional Mode mode = 1; }"},
        {"Oneof", head + "message Broken { oneof choice { bytes text = 1; } }"},
        {"NestedType", head + "message Broken { message Inner {} optional Inner inner = 1; }"},
        {"MapTag", head + "message Broken { map<string, bytes> values = 1; }"},
        {"Import", head + "import \"other.proto\";\nmessage Broken { optional bytes t = 1; }"},
        {"UnknownTagType", head + "message Broken { optional Missing inner = 1; }"},
        {"DuplicateType", head + "message Broken {}\nmessage Broken {}"},
        {"DuplicateTagNumber",
         head + "message Broken { optional bytes a = 1; optional bytes b = 1; }"},
        {"TagNameOf256Characters",
         head + "message Broken { optional bytes " + std::string(256, 'n') + " = 1; }"},
        {"DeepBrackets", head + "message Broken { option deprecated = " +
                             std::string(200000, '{') + " }"},
        {"BinaryGarbage", std::string("\x00\xff\x7f{{\x01", 6)},
    };
}

class BrokenDefinition : public ToolTest, public ::testing::WithParamInterface<Broken> {};

TEST_P(BrokenDefinition, IsRefusedSilentlyAndForgetsTheEarlierTypes) {
    SchemaFile broken(GetParam().text);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(zetaserialization_loadMetadataDefintion(tool, broken.path().c_str()),
              ZETA_EDEFINITION);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(knows(tool, "Sample"));
    EXPECT_FALSE(knows(tool, "Broken"));
}

INSTANTIATE_TEST_SUITE_P(Definition, BrokenDefinition, ::testing::ValuesIn(brokenDefinitions()),
                         [](const ::testing::TestParamInfo<Broken> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace zetatest
