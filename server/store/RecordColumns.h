// The columns of a record in a table, derived from the record table
// (records.def through RecordInfo<R>::visit) so that column lists, statement
// bindings and row reading are written once for every record: each text and
// int32 field is a column under its own name, the fields of a nested record
// are columns named "<field>_<nested field>", and lists are left to tables of
// their own.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include "RecordInfo.h"

namespace DataServiceNamespace::server {

template <class Kind>
constexpr bool isColumnKind = std::is_same_v<Kind, TextField> || std::is_same_v<Kind, Int32Field>;

// Calls f(field) for every column field of record, in column order; record may
// be const (binding) or not (reading a row).
template <class Record, class F> void forEachColumn(Record &record, F &f) {
    RecordInfo<std::remove_const_t<Record>>::visit(
        [&f](auto kind, const char *, auto &...field) {
            using Kind = decltype(kind);
            if constexpr (isColumnKind<Kind>)
                f(field...);
            else if constexpr (isNestedKind<Kind>)
                (forEachColumn(field, f), ...);
        },
        record);
}

template <class Record>
void appendColumnNames(const Record &record, const std::string &prefix,
                       std::vector<std::string> &names) {
    RecordInfo<Record>::visit(
        [&](auto kind, const char *name, auto &...field) {
            using Kind = decltype(kind);
            if constexpr (isColumnKind<Kind>)
                names.push_back(prefix + name);
            else if constexpr (isNestedKind<Kind>)
                (appendColumnNames(field, prefix + name + "_", names), ...);
        },
        record);
}

template <class Record> const std::vector<std::string> &columnNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> result;
        appendColumnNames(Record{}, "", result);
        return result;
    }();
    return names;
}

// "\"a\", \"b\"" for the record's columns, each prefixed with qualifier (a
// table alias with its dot, or nothing); quoted because "end" is an SQL word.
template <class Record> std::string columnList(const std::string &qualifier = "") {
    std::string list;
    for (const std::string &name : columnNames<Record>()) {
        if (!list.empty())
            list += ", ";
        list += qualifier + '"' + name + '"';
    }
    return list;
}

// "\"a\" = ?, \"b\" = ?" for an UPDATE of every column.
template <class Record> std::string assignmentList() {
    std::string list;
    for (const std::string &name : columnNames<Record>()) {
        if (!list.empty())
            list += ", ";
        list += '"' + name + "\" = ?";
    }
    return list;
}

} // namespace DataServiceNamespace::server
