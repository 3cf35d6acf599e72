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
struct DefaultChecker {
    std::string path;
    template <class Kind> void check(bool initial, const char *name) const {
        EXPECT_TRUE(initial) << path << name;
    }
    void operator()(TextField, const char *name, const cfstring &value) const {
        check<TextField>(value.empty(), name);
    }
    void operator()(LocalTextField, const char *name, const cfstring &value) const {
        check<LocalTextField>(value.empty(), name);
    }
    void operator()(Int32Field, const char *name, const int32 &value) const {
        check<Int32Field>(value == 0, name);
    }
    void operator()(LocalInt32Field, const char *name, const int32 &value) const {
        check<LocalInt32Field>(value == 0, name);
    }
    template <class Nested>
    void operator()(NestedField, const char *name, const Nested &value) const {
        RecordInfo<Nested>::visit(DefaultChecker{path + name + "."}, value);
    }
    template <class List> void operator()(RecordListField, const char *name, const List &value) const {
        check<RecordListField>(value.empty(), name);
    }
    void operator()(TextListField, const char *name, const std::vector<cfstring> &value) const {
        check<TextListField>(value.empty(), name);
    }
    void operator()(OpaqueField, const char *name, const opaque &data,
                    const opaque_size &size) const {
        check<OpaqueField>(data == nullptr && size == 0, name);
    }
};

template <class Record> class RecordOf : public ::testing::Test {};
TYPED_TEST_SUITE(RecordOf, AllRecordTypes, RecordTypeName);

TYPED_TEST(RecordOf, IsAPlainValueType) {
    static_assert(!std::is_polymorphic<TypeParam>::value, "no virtual operation");
    static_assert(std::is_aggregate<TypeParam>::value, "public fields, no constructor");
    static_assert(std::is_copy_assignable<TypeParam>::value, "member-wise assignment");
}

TYPED_TEST(RecordOf, NewRecordHoldsEmptyTextsAndListsZeroAndNull) {
    const TypeParam record{};
    RecordInfo<TypeParam>::visit(DefaultChecker{}, record);
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

TEST(RecordShape, SingleRecordsAndListsAreWhereTheTableSays) {
    static_assert(std::is_same<decltype(SmtpSettingResData::smtp_setting_data),
                               SmtpSettingData>::value);
    static_assert(std::is_same<decltype(FtpSiteResData::ftp_site_data), FtpSiteData>::value);
    static_assert(std::is_same<decltype(ContactResData::contact_data),
                               std::vector<ContactData>>::value);
    static_assert(std::is_same<decltype(ContactIdReqData::contact_data), ContactData>::value);
    static_assert(std::is_same<decltype(DeviceData::components), std::vector<cfstring>>::value);
    static_assert(std::is_same<decltype(ServiceData::service_switch), cfstring>::value);
    static_assert(std::is_same<decltype(StreamprofileData::fps), cfstring>::value);
    static_assert(std::is_same<decltype(DeviceIdImageResData::image_data), char *>::value);
    SUCCEED();
}

} // namespace
} // namespace DataServiceNamespace::testing
