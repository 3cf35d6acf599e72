// What a new record holds, and that copying a record shares its image array.
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "RecordInfo.h"

namespace DataServiceNamespace {
namespace {

// Reports every field of a record tree that does not hold its initial value.
template <class Record> void expectInitial(const Record &record, const std::string &path) {
    RecordInfo<Record>::visit(
        [&](auto kind, const char *name, const auto &...field) {
            if constexpr (isNestedKind<decltype(kind)>)
                (expectInitial(field, path + name + "."), ...);
            else if constexpr (std::is_same<decltype(kind), RecordListField>::value)
                EXPECT_TRUE((field.empty() && ...)) << path << name;
            else // empty text or text list, 0, null image_data and its size 0
                EXPECT_TRUE(((field == std::decay_t<decltype(field)>{}) && ...)) << path << name;
        },
        record);
}

TEST(Record, NewRecordsHoldEmptyTextsAndListsZeroAndNull) {
    forEachRecordType([](auto *record) {
        using Record = std::remove_pointer_t<decltype(record)>;
        expectInitial(Record{}, std::string(RecordInfo<Record>::typeName) + ".");
    });
}

// The array belongs to whoever allocated it, never to a record.
TEST(Record, CopySharesTheImageArrayWhichOutlivesEitherRecord) {
    DeviceIdImageResData original{};
    original.image_data = new char[4]{'a', '\0', 'b', 'c'};
    original.image_data_opaque_size = 4;
    {
        const DeviceIdImageResData copy = original;
        EXPECT_EQ(copy.image_data, original.image_data);
    }
    EXPECT_EQ(std::string(original.image_data, 4), std::string("a\0bc", 4));
    delete[] original.image_data;
}

} // namespace
} // namespace DataServiceNamespace
