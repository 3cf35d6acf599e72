// Setting, listing and reading tags of every kind, handing children over, and
// the exact result of every misuse.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "SchemaFile.h"

namespace zetatest {
namespace {

using TagOperations = ToolTest;

TEST_F(TagOperations, ScalarValuesReadBackExactlyAsSet) {
    zeta_instance sample = make("Sample");
    EXPECT_EQ(zetaserialization_setStringTagValue(tool, sample, "text", "h\xe9llo\xff"), ZETA_OK);
    EXPECT_EQ(zetaserialization_setInt32TagValue(tool, sample, "number", -2147483647 - 1),
              ZETA_OK);
    const char blob[] = {'a', '\0', 'b', '\0', 'c'};
    EXPECT_EQ(zetaserialization_setOpaqueTagValue(tool, sample, "blob", 5, blob), ZETA_OK);

    uint32_t size = 0;
    EXPECT_EQ(zetaserialization_getStringTagValueSize(tool, sample, "text", &size), ZETA_OK);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(text(sample, "text"), "h\xe9llo\xff");
    int32_t number = 0;
    EXPECT_EQ(zetaserialization_getInt32TagValue(tool, sample, "number", &number), ZETA_OK);
    EXPECT_EQ(number, -2147483647 - 1);
    char *bytes = nullptr;
    uint32_t count = 0;
    EXPECT_EQ(zetaserialization_getOpaqueTagValue(tool, sample, "blob", &count, &bytes), ZETA_OK);
    ASSERT_EQ(count, 5u);
    EXPECT_EQ(std::memcmp(bytes, blob, 5), 0);
    EXPECT_EQ(zetaserialization_releaseOpaqueValue(tool, &bytes), ZETA_OK);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(zetaserialization_destroyMetadataInstance(tool, &sample), ZETA_OK);
    EXPECT_EQ(sample, nullptr);
}

TEST_F(TagOperations, ListingFollowsDeclarationOrderNotSettingOrder) {
    zeta_instance sample = make("Sample");
    EXPECT_EQ(zetaserialization_setOpaqueTagValue(tool, sample, "blob", 1, "z"), ZETA_OK);
    EXPECT_EQ(zetaserialization_addStringContainerTagValue(tool, sample, "labels", "l"), ZETA_OK);
    EXPECT_EQ(zetaserialization_setInt32TagValue(tool, sample, "number", 0), ZETA_OK);
    EXPECT_EQ(zetaserialization_setStringTagValue(tool, sample, "text", ""), ZETA_OK);
    EXPECT_EQ(tags(sample), (std::vector<std::string>{"text", "number", "labels", "blob"}));
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

TEST_F(TagOperations, ListsWithoutElementsHaveNoValueButASizeOfZero) {
    zeta_instance sample = make("Sample");
    EXPECT_TRUE(tags(sample).empty());
    for (const char *tag : {"items", "labels"}) {
        uint32_t count = 7;
        EXPECT_EQ(zetaserialization_getContainerTagSize(tool, sample, tag, &count), ZETA_OK);
        EXPECT_EQ(count, 0u) << tag;
    }
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

TEST_F(TagOperations, EmptyOpaqueValueHasAValueButHandsOutNoBlock) {
    zeta_instance sample = make("Sample");
    EXPECT_EQ(zetaserialization_setOpaqueTagValue(tool, sample, "blob", 0, nullptr), ZETA_OK);
    EXPECT_EQ(tags(sample), std::vector<std::string>{"blob"});
    char *bytes = nullptr;
    uint32_t size = 9;
    EXPECT_EQ(zetaserialization_getOpaqueTagValue(tool, sample, "blob", &size, &bytes), ZETA_OK);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(bytes, nullptr);
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

TEST_F(TagOperations, TextAndOpaqueSettersShareOneBytesTag) {
    // A NUL inside a value set as opaque is kept; its text reading stops there.
    zeta_instance sample = make("Sample");
    EXPECT_EQ(zetaserialization_setOpaqueTagValue(tool, sample, "text", 5, "ab\0cd"), ZETA_OK);
    uint32_t size = 0;
    EXPECT_EQ(zetaserialization_getStringTagValueSize(tool, sample, "text", &size), ZETA_OK);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(text(sample, "text"), std::string("ab\0cd", 5));
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

TEST_F(TagOperations, NestedChildBecomesPartOfItsParentAndIsReplacedWhole) {
    zeta_instance sample = make("Sample");
    zeta_instance first = make("Header");
    zetaserialization_setStringTagValue(tool, first, "action", "first");
    zetaserialization_setStringTagValue(tool, first, "version", "1");
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, sample, "header", first), ZETA_OK);
    zeta_instance second = make("Header");
    zetaserialization_setStringTagValue(tool, second, "action", "second");
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, sample, "header", second), ZETA_OK);

    zeta_instance child = nullptr;
    EXPECT_EQ(zetaserialization_getNestedTagValue(tool, sample, "header", &child), ZETA_OK);
    EXPECT_EQ(text(child, "action"), "second");
    EXPECT_EQ(tags(child), std::vector<std::string>{"action"});
    // A child handle belongs to its parent: destroying it is refused.
    EXPECT_EQ(zetaserialization_destroyMetadataInstance(tool, &child), ZETA_EINVAL);
    EXPECT_NE(child, nullptr);
    EXPECT_EQ(zetaserialization_destroyMetadataInstance(tool, &sample), ZETA_OK);
}

TEST_F(TagOperations, ListsKeepTheirElementsInOrder) {
    zeta_instance sample = make("Sample");
    for (int i = 0; i < 3; ++i) {
        zeta_instance item = make("Item");
        zetaserialization_setInt32TagValue(tool, item, "count", i * 10);
        EXPECT_EQ(zetaserialization_addNestedContainerTagValue(tool, sample, "items", item),
                  ZETA_OK);
    }
    const std::vector<std::string> labels{"x", "", "\xff\xfe"};
    for (const std::string &label : labels)
        EXPECT_EQ(zetaserialization_addStringContainerTagValue(tool, sample, "labels",
                                                               label.c_str()),
                  ZETA_OK);

    uint32_t count = 0;
    EXPECT_EQ(zetaserialization_getContainerTagSize(tool, sample, "items", &count), ZETA_OK);
    ASSERT_EQ(count, 3u);
    for (uint32_t i = 0; i < count; ++i) {
        zeta_instance item = nullptr;
        EXPECT_EQ(zetaserialization_getNestedContainerTagValue(tool, sample, "items", i, &item),
                  ZETA_OK);
        int32_t value = -1;
        EXPECT_EQ(zetaserialization_getInt32TagValue(tool, item, "count", &value), ZETA_OK);
        EXPECT_EQ(value, static_cast<int32_t>(i * 10));
    }
    EXPECT_EQ(zetaserialization_getContainerTagSize(tool, sample, "labels", &count), ZETA_OK);
    ASSERT_EQ(count, 3u);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t size = 0;
        EXPECT_EQ(zetaserialization_getStringContainerTagValueSize(tool, sample, "labels", i,
                                                                   &size),
                  ZETA_OK);
        ASSERT_EQ(size, labels[i].size() + 1);
        std::vector<char> buffer(size);
        EXPECT_EQ(zetaserialization_getStringContainerTagValue(tool, sample, "labels", i,
                                                               buffer.data()),
                  ZETA_OK);
        EXPECT_EQ(std::string(buffer.data()), labels[i]);
    }
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

// Children refused for their type are released by the parent: the leak
// checker of the address sanitizer build sees any that is not.
TEST_F(TagOperations, ChildOfAnotherTypeIsRefusedAndReleased) {
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
    zetaserialization_destroyMetadataInstance(tool, &sample);
}

TEST_F(TagOperations, ChildThatIsNoTopLevelInstanceStaysWithItsOwner) {
    zeta_instance first = make("Sample");
    zeta_instance second = make("Sample");
    zetaserialization_assignNestedTagValue(tool, first, "header", make("Header"));
    zeta_instance header = nullptr;
    zetaserialization_getNestedTagValue(tool, first, "header", &header);
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, second, "header", header),
              ZETA_EINVAL);
    EXPECT_EQ(tags(first), std::vector<std::string>{"header"});
    EXPECT_TRUE(tags(second).empty());
    zetaserialization_destroyMetadataInstance(tool, &first);
    zetaserialization_destroyMetadataInstance(tool, &second);
}

TEST_F(TagOperations, InstanceCannotBecomePartOfItself) {
    zeta_instance top = make("Node");
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, top, "next", top), ZETA_EINVAL);
    zetaserialization_assignNestedTagValue(tool, top, "next", make("Node"));
    zeta_instance below = nullptr;
    zetaserialization_getNestedTagValue(tool, top, "next", &below);
    EXPECT_EQ(zetaserialization_assignNestedTagValue(tool, below, "next", top), ZETA_EINVAL);
    EXPECT_EQ(tags(below), std::vector<std::string>{});
    EXPECT_EQ(zetaserialization_destroyMetadataInstance(tool, &top), ZETA_OK);
}

TEST_F(TagOperations, UnknownTypeGivesANullInstance) {
    zeta_instance instance = nullptr;
    EXPECT_EQ(zetaserialization_createMetadataInstance(tool, "sample", &instance), ZETA_ETYPE);
    EXPECT_EQ(instance, nullptr);
}

TEST_F(TagOperations, DestroyingTheToolReleasesTheInstancesStillAlive) {
    make("Sample");
    zeta_instance sample = make("Sample");
    zetaserialization_assignNestedTagValue(tool, sample, "header", make("Header"));
    // TearDown destroys the tool; the address sanitizer build reports leaks.
}

// One misuse or edge of one operation and the exact result it gives. The
// instance handed in is a fresh Sample holding one label.
struct Misuse {
    const char *name;
    int (*call)(zeta_tool tool, zeta_instance sample);
    int expected;
};

const Misuse misuses[] = {
    {"TextOnInt32Tag", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setStringTagValue(t, s, "number", "1"); }, ZETA_ETAG},
    {"TextOnUnknownTag", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setStringTagValue(t, s, "Text", "1"); }, ZETA_ETAG},
    {"TextOnNullTag", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setStringTagValue(t, s, nullptr, "1"); }, ZETA_EINVAL},
    {"NullText", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setStringTagValue(t, s, "text", nullptr); }, ZETA_EINVAL},
    {"Int32OnTextTag", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setInt32TagValue(t, s, "text", 1); }, ZETA_ETAG},
    {"OpaqueFromNullBytes", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setOpaqueTagValue(t, s, "blob", 3, nullptr); }, ZETA_EINVAL},
    {"OpaqueOnTextListTag", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_setOpaqueTagValue(t, s, "labels", 1, "x"); }, ZETA_ETAG},
    {"TextElementOnRecordListTag", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_addStringContainerTagValue(t, s, "items", "x"); }, ZETA_ETAG},
    {"NullChild", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_assignNestedTagValue(t, s, "header", nullptr); }, ZETA_EINVAL},
    {"TextNeverSet", [](zeta_tool t, zeta_instance s) {
         uint32_t size = 0;
         return zetaserialization_getStringTagValueSize(t, s, "text", &size); }, ZETA_ENOVALUE},
    {"Int32NeverSet", [](zeta_tool t, zeta_instance s) {
         int32_t value = 0;
         return zetaserialization_getInt32TagValue(t, s, "number", &value); }, ZETA_ENOVALUE},
    {"NestedNeverSet", [](zeta_tool t, zeta_instance s) {
         zeta_instance child = nullptr;
         return zetaserialization_getNestedTagValue(t, s, "header", &child); }, ZETA_ENOVALUE},
    {"OpaqueNeverSet", [](zeta_tool t, zeta_instance s) {
         uint32_t size = 0;
         char *bytes = nullptr;
         return zetaserialization_getOpaqueTagValue(t, s, "blob", &size, &bytes); }, ZETA_ENOVALUE},
    {"Int32ReadFromTextTag", [](zeta_tool t, zeta_instance s) {
         int32_t value = 0;
         return zetaserialization_getInt32TagValue(t, s, "text", &value); }, ZETA_ETAG},
    {"ContainerSizeOfTextTag", [](zeta_tool t, zeta_instance s) {
         uint32_t count = 0;
         return zetaserialization_getContainerTagSize(t, s, "text", &count); }, ZETA_ETAG},
    {"TextElementPastTheEnd", [](zeta_tool t, zeta_instance s) {
         uint32_t size = 0;
         return zetaserialization_getStringContainerTagValueSize(t, s, "labels", 1, &size); },
     ZETA_ERANGE},
    {"RecordElementOfEmptyList", [](zeta_tool t, zeta_instance s) {
         zeta_instance child = nullptr;
         return zetaserialization_getNestedContainerTagValue(t, s, "items", 0, &child); },
     ZETA_ERANGE},
    {"TextSizeIntoNull", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_getStringTagValueSize(t, s, "text", nullptr); }, ZETA_EINVAL},
    {"OpaqueIntoNull", [](zeta_tool t, zeta_instance s) {
         uint32_t size = 0;
         return zetaserialization_getOpaqueTagValue(t, s, "blob", &size, nullptr); }, ZETA_EINVAL},
    {"SerializeOneByteShort", [](zeta_tool t, zeta_instance s) {
         uint32_t size = 0;
         zetaserialization_getSerializationNeededBufferSize(t, s, &size);
         std::vector<char> buffer(size);
         return zetaserialization_serialize(t, s, buffer.data(), size - 1); }, ZETA_ERANGE},
    {"SerializeIntoNull", [](zeta_tool t, zeta_instance s) {
         return zetaserialization_serialize(t, s, nullptr, 100); }, ZETA_EINVAL},
    {"DestroyNullHandleAddress", [](zeta_tool t, zeta_instance) {
         return zetaserialization_destroyMetadataInstance(t, nullptr); }, ZETA_EINVAL},
    {"ListNamesIntoNull", [](zeta_tool t, zeta_instance s) {
         uint32_t count = 0;
         return zetaserialization_getHavingValueTagNames(t, s, nullptr, &count); }, ZETA_EINVAL},
    {"ReleaseNullNamesAddress", [](zeta_tool t, zeta_instance) {
         return zetaserialization_releaseTagNames(t, nullptr); }, ZETA_EINVAL},
    {"CreateOfNullTypeName", [](zeta_tool t, zeta_instance) {
         zeta_instance instance = nullptr;
         return zetaserialization_createMetadataInstance(t, nullptr, &instance); }, ZETA_EINVAL},
    {"NullToolSetsNothing", [](zeta_tool, zeta_instance s) {
         return zetaserialization_setInt32TagValue(nullptr, s, "number", 1); }, ZETA_EINVAL},
    {"NullToolReadsNothing", [](zeta_tool, zeta_instance s) {
         uint32_t count = 0;
         return zetaserialization_getContainerTagSize(nullptr, s, "labels", &count); },
     ZETA_EINVAL},
    {"NullToolLoadsNothing", [](zeta_tool, zeta_instance) {
         return zetaserialization_loadMetadataDefintion(nullptr, "x"); }, ZETA_EINVAL},
    {"NullToolHandleAddress", [](zeta_tool, zeta_instance) {
         return zetaserialization_createSerializationTool(nullptr); }, ZETA_EINVAL},
    {"DestroyNullTool", [](zeta_tool, zeta_instance) {
         zeta_tool none = nullptr;
         return zetaserialization_destroySerializationTool(&none); }, ZETA_OK},
    // A null instance behaves as an empty one that can hold nothing.
    {"NullInstanceListsNoTags", [](zeta_tool t, zeta_instance) {
         char *names = reinterpret_cast<char *>(1);
         uint32_t count = 5;
         int result = zetaserialization_getHavingValueTagNames(t, nullptr, &names, &count);
         return names == nullptr && count == 0 ? result : -1; }, ZETA_OK},
    {"NullInstanceNeedsNoBytes", [](zeta_tool t, zeta_instance) {
         uint32_t size = 5;
         int result = zetaserialization_getSerializationNeededBufferSize(t, nullptr, &size);
         return size == 0 ? result : -1; }, ZETA_OK},
    {"NullInstanceSerializesToNothing", [](zeta_tool t, zeta_instance) {
         char byte = 'x';
         int result = zetaserialization_serialize(t, nullptr, &byte, 1);
         return byte == 'x' ? result : -1; }, ZETA_OK},
    {"NullInstanceDestroysAsNothing", [](zeta_tool t, zeta_instance) {
         zeta_instance none = nullptr;
         return zetaserialization_destroyMetadataInstance(t, &none); }, ZETA_OK},
    {"NullInstanceHasNoText", [](zeta_tool t, zeta_instance) {
         uint32_t size = 0;
         return zetaserialization_getStringTagValueSize(t, nullptr, "text", &size); },
     ZETA_ENOVALUE},
    {"NullInstanceHasNoList", [](zeta_tool t, zeta_instance) {
         uint32_t count = 0;
         return zetaserialization_getContainerTagSize(t, nullptr, "labels", &count); },
     ZETA_ENOVALUE},
    {"NullInstanceTakesNoText", [](zeta_tool t, zeta_instance) {
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
