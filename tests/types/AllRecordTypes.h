// Test support: the 58 record types of the table as a GoogleTest type list,
// with test names that are the record names.
#pragma once

#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "RecordInfo.h"

namespace DataServiceNamespace::testing {

template <class Tuple> struct TypeListOf;
template <class... Records> struct TypeListOf<std::tuple<Records...>> {
    using type = ::testing::Types<Records...>;
};

// tuple_cat collects the table's records without a trailing comma problem.
using AllRecordTuple = decltype(std::tuple_cat(std::declval<std::tuple<>>()
#define DS_RECORD(Name) , std::declval<std::tuple<Name>>()
#include "RecordMacros.h"
#include "records.def"
#include "RecordMacrosUndef.h"
                                                   ));

using AllRecordTypes = TypeListOf<AllRecordTuple>::type;

struct RecordTypeName {
    template <class Record> static std::string GetName(int) {
        return RecordInfo<Record>::typeName;
    }
};

} // namespace DataServiceNamespace::testing
