// What a new record holds and how records copy: deep for texts, lists and
// nested records, by pointer for image_data.
#include <cstring>
#include <type_traits>

#include <gtest/gtest.h>

#include "AllRecordTypes.h"
#include "SampleRecords.h"

namespace DataServiceNamespace::testing {
namespace {

// Reports every field of a record tree that does not hold its initial value.
template <class Record> void expectInitial(const Record &record, const std::string &path = "") {
    RecordInfo<Record>::visit(
        [&](auto kind, const char *name, const auto &...field) {
            using Kind = decltype(kind);
            if constexpr (std::is_same<Kind, NestedField>::value)
                (expectInitial(field, path + name + "."), ...);
            else if constexpr (std::is_same<Kind, RecordListField>::value)
                EXPECT_TRUE((field.empty() && ...)) << path << name;
            else // empty text or text list, 0, null image_data and its size 0
                EXPECT_TRUE(((field == std::decay_t<decltype(field)>{}) && ...)) << path << name;
        },
        record);
}

template <class Record> class RecordOf : public ::testing::Test {};
TYPED_TEST_SUITE(RecordOf, AllRecordTypes, RecordTypeName);

TYPED_TEST(RecordOf, IsAPlainValueType) {
    static_assert(!std::is_polymorphic<TypeParam>::value, "no virtual operation");
    static_assert(std::is_aggregate<TypeParam>::value, "public fields, no constructor");
    static_assert(std::is_copy_assignable<TypeParam>::value, "member-wise assignment");
}

TYPED_TEST(RecordOf, NewRecordHoldsEmptyTextsAndListsZeroAndNull) {
    expectInitial(TypeParam{});
}

TYPED_TEST(RecordOf, CopyEqualsTheOriginalAndIsUntouchedByChangesToAnother) {
    TypeParam original{};
    sampleFill(original, 3);
    const TypeParam copy = original;
    EXPECT_EQ(recordDifference(original, copy, true), "");
    TypeParam changed = original;
    sampleFill(changed, 4); // replaces, and never frees, the shared image array
    EXPECT_NE(recordDifference(original, changed, true), "");
    EXPECT_EQ(recordDifference(original, copy, true), "");
    releaseOpaque(changed);
    releaseOpaque(original); // copy shares this array
}

TEST(RecordCopy, SharesTheImageArrayWhichOutlivesEitherRecord) {
    DeviceIdImageResData original{};
    original.image_data = new char[4]{'a', '\0', 'b', 'c'};
    original.image_data_opaque_size = 4;
    {
        DeviceIdImageResData copy = original;
        EXPECT_EQ(copy.image_data, original.image_data);
        EXPECT_EQ(copy.image_data_opaque_size, 4u);
    }
    EXPECT_EQ(std::memcmp(original.image_data, "a\0bc", 4), 0);
    delete[] original.image_data;
}

TEST(RecordCopy, GivesAnIndependentTextList) {
    DeviceData original{};
    original.components = {"a", "b", "c"};
    DeviceData copy = original;
    copy.components.push_back("d");
    copy.components[0] = "changed";
    EXPECT_EQ(original.components, (std::vector<cfstring>{"a", "b", "c"}));
}

} // namespace
} // namespace DataServiceNamespace::testing
