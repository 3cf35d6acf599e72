// Compile-time description of every record, derived from records.def.
//
// RecordInfo<R>::typeName is the record's metadata type name, and
// RecordInfo<R>::visit(visitor, records...) calls the visitor once per field,
// in declaration order, with a kind tag, the field's tag name and that field
// of each record given (one record, or two to walk them side by side):
// visitor(Kind{}, "name", field...) or, for the opaque kind,
// visitor(OpaqueField{}, "name", pointer..., size...). Encoders, decoders,
// the schema check and the tests are all written once against this.
//
// statusOf(record) is the record's status (its DS_STATUS field), and
// hasStatus<R> tells whether R has one.
#pragma once

#include <cstddef>
#include <type_traits>

#include "DataServiceTypes.h"

namespace DataServiceNamespace {

// Field kinds. Only the transmitted kinds have a tag in the schema.
struct TextField {};        // cfstring, text tag
struct Int32Field {};       // int32, int32 tag
struct NestedField {};      // nested record, nested tag
// The record's status, a nested ServiceError. It derives from NestedField so
// that a visitor with a NestedField overload encodes, decodes, compares and
// fills it as the nested record it is; a visitor that tests kinds by type
// uses isNestedKind, and one with a catch-all template must name it.
struct StatusField : NestedField {};
struct RecordListField {};  // std::vector<record>, record list tag
struct TextListField {};    // std::vector<cfstring>, text list tag
struct OpaqueField {};      // opaque pointer and its size, opaque tag
struct LocalInt32Field {};  // int32 never transmitted (processingOK)
struct LocalTextField {};   // cfstring never transmitted

template <class Record> struct RecordInfo; // specialised for each record below

#define DS_RECORD(Name)                                                          \
    template <> struct RecordInfo<Name> {                                        \
        static constexpr const char *typeName = #Name;                           \
        template <class Visitor, class... Records>                               \
        static void visit(Visitor &&visitor, Records &...records) {
#define DS_TEXT(field) visitor(TextField{}, #field, records.field...);
#define DS_INT32(field) visitor(Int32Field{}, #field, records.field...);
#define DS_NESTED(Type, field) visitor(NestedField{}, #field, records.field...);
#define DS_STATUS(field) visitor(StatusField{}, #field, records.field...);
#define DS_LIST(Type, field) visitor(RecordListField{}, #field, records.field...);
#define DS_TEXT_LIST(field) visitor(TextListField{}, #field, records.field...);
#define DS_OPAQUE(field) \
    visitor(OpaqueField{}, #field, records.field..., records.field##_opaque_size...);
#define DS_LOCAL_INT32(field) visitor(LocalInt32Field{}, #field, records.field...);
#define DS_LOCAL_TEXT(field) visitor(LocalTextField{}, #field, records.field...);
#define DS_END(Name) \
        }            \
    };
#include "RecordMacros.h"
#include "records.def"
#include "RecordMacrosUndef.h"

// Number of record types in the table.
#define DS_RECORD(Name) +1
#include "RecordMacros.h"
constexpr std::size_t recordTypeCount = 0
#include "records.def"
    ;
#include "RecordMacrosUndef.h"

// Calls f(static_cast<R *>(nullptr)) once for every record type R, in table
// order; for tests and tools that need to walk all 58 types.
template <class F> void forEachRecordType(F &&f) {
#define DS_RECORD(Name) f(static_cast<Name *>(nullptr));
#include "RecordMacros.h"
#include "records.def"
#include "RecordMacrosUndef.h"
}

// Whether a field kind has a tag on the wire.
template <class Kind> constexpr bool isTransmitted = true;
template <> inline constexpr bool isTransmitted<LocalInt32Field> = false;
template <> inline constexpr bool isTransmitted<LocalTextField> = false;

// Whether a field kind is a nested record (the status included).
template <class Kind> constexpr bool isNestedKind = std::is_base_of_v<NestedField, Kind>;

// The status member of each record that has one. A second DS_STATUS in a
// record redeclares `member` and does not compile.
template <class Record> struct StatusMember {};
#define DS_RECORD(Name)                     \
    template <> struct StatusMember<Name> { \
        using Record = Name;
#define DS_STATUS(field) static constexpr ServiceError Record::*member = &Record::field;
#define DS_END(Name) \
    };
#include "RecordMacros.h"
#include "records.def"
#include "RecordMacrosUndef.h"

template <class Record, class = void> constexpr bool hasStatus = false;
template <class Record>
constexpr bool hasStatus<Record, std::void_t<decltype(StatusMember<Record>::member)>> = true;

template <class Record> ServiceError &statusOf(Record &record) {
    static_assert(hasStatus<Record>, "the record has no status field");
    return record.*StatusMember<Record>::member;
}
template <class Record> const ServiceError &statusOf(const Record &record) {
    static_assert(hasStatus<Record>, "the record has no status field");
    return record.*StatusMember<Record>::member;
}

} // namespace DataServiceNamespace
