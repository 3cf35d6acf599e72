// Test support: the records of the table as a GoogleTest type list, for typed
// tests that run once per record type and are named after it.
#pragma once

#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "RecordInfo.h"

namespace DataServiceNamespace::testing {

// tuple_cat collects the types without a trailing comma.
template <class... Records> ::testing::Types<Records...> typesOf(std::tuple<Records...>);
using AllRecordTypes = decltype(typesOf(std::tuple_cat(std::tuple<>()
#define DS_RECORD(Name) , std::tuple<Name>()
#include "RecordMacros.h"
#include "records.def"
#include "RecordMacrosUndef.h"
                                                       )));

struct RecordTypeName {
    template <class Record> static std::string GetName(int) {
        return RecordInfo<Record>::typeName;
    }
};

} // namespace DataServiceNamespace::testing
