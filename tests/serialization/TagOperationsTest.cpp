// Setting, listing and reading tags of every kind, handing children over, and
// the exact result of misuses.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SchemaFile.h"

namespace zetatest {
namespace {

using TagOperations = ToolTest;
using Names = std::vector<std::string>;

TEST_F(TagOperations, ValuesOfEveryKindReadBackExactlyAsSetAndListInDeclarationOrder) {
    zeta_instance sample = make("Sample");
    const char blob[] = {'a', '\0', 'b', '\0', 'c'};
    EXPECT_EQ(zetaserialization_setOpaqueTagValue(tool, sample, "blob", 5, blob), ZETA_OK);
    for (const char *label : {"x", "", "\xff\xfe"})
        EXPECT_EQ(zetaserialization_addStringContainerTagValue(tool, sample, "labels", label),
                  ZETA_OK);
    for (int i = 0; i < 3; ++i) {
        zeta_instance item = make("Item");
        zetaserialization_setInt32TagValue(tool, item, "count", i * 10);
        EXPECT_EQ(zetaserialization_addNestedContainerTagValue(tool, sample, "items", item),
                  ZETA_OK);
    }
    zeta_instance header = make("Header");
    zetaserialization_setStringTagValue(tool, header, "version", "1");
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, sample, "header", header), ZETA_OK);
    EXPECT_EQ(zetaserialization_setInt32TagValue(tool, sample, "number", INT32_MIN), ZETA_OK);
    EXPECT_EQ(zetaserialization_setStringTagValue(tool, sample, "text", "h\xe9llo"), ZETA_OK);

    EXPECT_EQ(tags(sample), (Names{"text", "number", "header", "items", "labels", "blob"}));
    EXPECT_EQ(text(sample, "text"), "h\xe9llo");
    int32_t number = 0;
    EXPECT_EQ(zetaserialization_getInt32TagValue(tool, sample, "number", &number), ZETA_OK);
    EXPECT_EQ(number, INT32_MIN);
    zeta_instance child = nullptr;
    EXPECT_EQ(zetaserialization_getNestedTagValue(tool, sample, "header", &child), ZETA_OK);
    EXPECT_EQ(tags(child), Names{"version"});
    uint32_t count = 0;
    EXPECT_EQ(zetaserialization_getContainerTagSize(tool, sample, "items", &count), ZETA_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(zetaserialization_getNestedContainerTagValue(tool, sample, "items", 2, &child),
              ZETA_OK);
    EXPECT_EQ(zetaserialization_getInt32TagValue(tool, child, "count", &number), ZETA_OK);
    EXPECT_EQ(number, 20);
    uint32_t size = 0;
    EXPECT_EQ(zetaserialization_getStringContainerTagValueSize(tool, sample, "labels", 2, &size),
              ZETA_OK);
    ASSERT_EQ(size, 3u);
    char label[3];
    EXPECT_EQ(zetaserialization_getStringContainerTagValue(tool, sample, "labels", 2, label),
              ZETA_OK);
    EXPECT_EQ(std::string(label), "\xff\xfe");
    char *bytes = nullptr;
    EXPECT_EQ(zetaserialization_getOpaqueTagValue(tool, sample, "blob", &size, &bytes), ZETA_OK);
    EXPECT_EQ(std::string(bytes, size), std::string(blob, 5));
    EXPECT_EQ(zetaserialization_releaseOpaqueValue(tool, &bytes), ZETA_OK);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(zetaserialization_destroyMetadataInstance(tool, &sample), ZETA_OK);
    EXPECT_EQ(sample, nullptr);
}

TEST_F(TagOperations, EmptyListsHaveNoValueWhileAnEmptyOpaqueValueHasOne) {
    zeta_instance sample = make("Sample");
    uint32_t count = 7;
    EXPECT_EQ(zetaserialization_getContainerTagSize(tool, sample, "labels", &count), ZETA_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(zetaserialization_setOpaqueTagValue(tool, sample, "blob", 0, nullptr), ZETA_OK);
    EXPECT_EQ(tags(sample), Names{"blob"});
    char *bytes = nullptr;
    EXPECT_EQ(zetaserialization_getOpaqueTagValue(tool, sample, "blob", &count, &bytes), ZETA_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(bytes, nullptr); // no block, nothing to release
    // Text and opaque share one shape: a NUL inside is kept and written whole.
    EXPECT_EQ(zetaserialization_setOpaqueTagValue(tool, sample, "text", 5, "ab\0cd"), ZETA_OK);
    EXPECT_EQ(text(sample, "text"), std::string("ab\0cd", 5));
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

// Refused children are released by the parent: the leak checker of the
// address sanitizer build sees any that is not.
TEST_F(TagOperations, ChildrenAreTakenOverAlsoWhenRefused) {
    zeta_instance sample = make("Sample");
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, sample, "header", make("Item")),
              ZETA_ETYPE);
    EXPECT_EQ(zetaserialization_addNestedContainerTagValue(tool, sample, "items", make("Header")),
              ZETA_ETYPE);
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, sample, "items", make("Item")),
              ZETA_ETAG);
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, nullptr, "header", make("Header")),
              ZETA_EINVAL);
    EXPECT_TRUE(tags(sample).empty());
    zeta_instance first = make("Header");
    zetaserialization_setStringTagValue(tool, first, "action", "first");
    zetaserialization_assignNestedTagValue(tool, sample, "header", first);
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, sample, "header", make("Header")),
              ZETA_OK); // replaces and releases the first
    zeta_instance header = nullptr;
    zetaserialization_getNestedTagValue(tool, sample, "header", &header);
    EXPECT_TRUE(tags(header).empty());
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

TEST_F(TagOperations, ChildHandlesAndCyclesStayWithTheirOwner) {
    zeta_instance top = make("Node");
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, top, "next", top), ZETA_EINVAL);
    zetaserialization_assignNestedTagValue(tool, top, "next", make("Node"));
    zeta_instance below = nullptr;
    zetaserialization_getNestedTagValue(tool, top, "next", &below);
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, below, "next", top), ZETA_EINVAL);
    zeta_instance other = make("Node");
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, other, "next", below), ZETA_EINVAL);
    EXPECT_TRUE(tags(other).empty());
    EXPECT_EQ(zetaserialization_destroyMetadataInstance(tool, &below), ZETA_EINVAL);
    EXPECT_EQ(tags(top), Names{"next"});
    zetaserialization_destroyMetadataInstance(tool, &top);
    zetaserialization_destroyMetadataInstance(tool, &other);
}

TEST_F(TagOperations, DestroyingTheToolReleasesTheInstancesStillAlive) {
    zeta_instance sample = make("Sample");
    zetaserialization_assignNestedTagValue(tool, sample, "header", make("Header"));
    // TearDown destroys the tool; the address sanitizer build reports leaks.
}

// One misuse or edge of one operation and the exact result it gives, on a
// fresh Sample holding one label.
struct Misuse {
    const char *name;
    int (*call)(zeta_tool tool, zeta_instance sample);
    int expected;
};

// Out values of the calls below.
uint32_t outSize;
int32_t outNumber;
zeta_instance outChild;
char *outBytes;

const Misuse misuses[] = {
    {"TextOnInt32Tag", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setStringTagValue(t, s, "number", "1"); }, ZETA_ETAG},
    {"TagInOtherCase", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setStringTagValue(t, s, "Text", "1"); }, ZETA_ETAG},
    {"NullTag", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setInt32TagValue(t, s, nullptr, 1); }, ZETA_EINVAL},
    {"NullText", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_addStringContainerTagValue(t, s, "labels", nullptr); },
     ZETA_EINVAL},
    {"OpaqueFromNullBytes", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setOpaqueTagValue(t, s, "blob", 3, nullptr); }, ZETA_EINVAL},
    {"TextElementOnRecordList", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_addStringContainerTagValue(t, s, "items", "x"); }, ZETA_ETAG},
    {"NullChild", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_assignNestedTagValue(t, s, "header", nullptr); }, ZETA_EINVAL},
    {"TextNeverSet", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_getStringTagValueSize(t, s, "text", &outSize); }, ZETA_ENOVALUE},
    {"Int32NeverSet", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_getInt32TagValue(t, s, "number", &outNumber); }, ZETA_ENOVALUE},
    {"NestedNeverSet", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_getNestedTagValue(t, s, "header", &outChild); }, ZETA_ENOVALUE},
    {"OpaqueNeverSet", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_getOpaqueTagValue(t, s, "blob", &outSize, &outBytes); },
     ZETA_ENOVALUE},
    {"Int32FromTextTag", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_getInt32TagValue(t, s, "text", &outNumber); }, ZETA_ETAG},
    {"ListSizeOfTextTag", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_getContainerTagSize(t, s, "text", &outSize); }, ZETA_ETAG},
    {"TextElementPastTheEnd", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_getStringContainerTagValueSize(t, s, "labels", 1, &outSize); },
     ZETA_ERANGE},
    {"RecordElementOfEmptyList", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_getNestedContainerTagValue(t, s, "items", 0, &outChild); },
     ZETA_ERANGE},
    {"SizeIntoNull", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_getSerializationNeededBufferSize(t, s, nullptr); }, ZETA_EINVAL},
    {"SerializeOneByteShort", [](zeta_tool t, zeta_instance s) {
         char buffer[64];
         zetaserialization_getSerializationNeededBufferSize(t, s, &outSize);
         return zetaserialization_serialize(t, s, buffer, outSize - 1); }, ZETA_ERANGE},
    {"UnknownType", [](zeta_tool t, zeta_instance) {
         outChild = nullptr;
         int result = zetaserialization_createMetadataInstance(t, "sample", &outChild);
         return outChild == nullptr ? result : -1; }, ZETA_ETYPE},
    {"NullTool", [](zeta_tool, zeta_instance s) {
         return zetaserialization_getContainerTagSize(nullptr, s, "labels", &outSize); },
     ZETA_EINVAL},
    {"DestroyNullTool", [](zeta_tool, zeta_instance) {
         zeta_tool none = nullptr;
         return zetaserialization_destroySerializationTool(&none); }, ZETA_OK},
    // A null instance behaves as an empty one that can hold nothing.
    {"NullInstanceListsNoTags", [](zeta_tool t, zeta_instance) {
         char *names = reinterpret_cast<char *>(&outSize);
         outSize = 5;
         int result = zetaserialization_getHavingValueTagNames(t, nullptr, &names, &outSize);
         return names == nullptr && outSize == 0 ? result : -1; }, ZETA_OK},
    {"NullInstanceSerializesToNothing", [](zeta_tool t, zeta_instance) {
         char byte = 'x';
         zetaserialization_getSerializationNeededBufferSize(t, nullptr, &outSize);
         int result = zetaserialization_serialize(t, nullptr, &byte, 1);
         return byte == 'x' && outSize == 0 ? result : -1; }, ZETA_OK},
    {"NullInstanceDestroysAsNothing", [](zeta_tool t, zeta_instance) {
         outChild = nullptr;
         return zetaserialization_destroyMetadataInstance(t, &outChild); }, ZETA_OK},
    {"NullInstanceHasNoValue", [](zeta_tool t, zeta_instance) {
         return zetaserialization_getContainerTagSize(t, nullptr, "labels", &outSize); },
     ZETA_ENOVALUE},
    {"NullInstanceTakesNoValue", [](zeta_tool t, zeta_instance) {
         return zetaserialization_setStringTagValue(t, nullptr, "text", "x"); }, ZETA_EINVAL},
};

class TagMisuse : public ToolTest, public ::testing::WithParamInterface<Misuse> {};

TEST_P(TagMisuse, GivesItsExactCodeAndLeavesTheInstanceAsItWas) {
    zeta_instance sample = make("Sample");
    zetaserialization_addStringContainerTagValue(tool, sample, "labels", "only");
    const std::vector<char> before = encode(sample);
    EXPECT_EQ(GetParam().call(tool, sample), GetParam().expected);
    EXPECT_EQ(encode(sample), before);
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, TagMisuse, ::testing::ValuesIn(misuses),
                         [](const ::testing::TestParamInfo<Misuse> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
} // namespace zetatest
