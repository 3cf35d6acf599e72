// The records exchanged with the data service: 58 plain value types declared
// from the field table in records.def, plus the scalar aliases they use.
#pragma once

#include <string>
#include <vector>

typedef std::string cfstring;
typedef int int32;
typedef unsigned int uint32;
typedef short int16;
typedef unsigned short uint16;
typedef long long int64;
typedef unsigned long long uint64;
typedef float cffloat;
typedef double cfdouble;
typedef uint32 opaque_size;
typedef char *opaque;

namespace DataServiceNamespace {

// Records are aggregates with default member initialisers: every int32 starts
// at 0 and image_data at null. Copies are member-wise, so image_data is copied
// as a pointer and never released by a record.
#define DS_RECORD(Name) struct Name {
#define DS_TEXT(field) cfstring field;
#define DS_INT32(field) int32 field = 0;
#define DS_NESTED(Type, field) Type field;
#define DS_STATUS(field) ServiceError field;
#define DS_LIST(Type, field) std::vector<Type> field;
#define DS_TEXT_LIST(field) std::vector<cfstring> field;
#define DS_OPAQUE(field)      \
    opaque field = nullptr;   \
    opaque_size field##_opaque_size = 0;
#define DS_LOCAL_INT32(field) int32 field = 0;
#define DS_LOCAL_TEXT(field) cfstring field;
#define DS_END(Name) };
#include "records.def"
#include "RecordMacrosUndef.h"

} // namespace DataServiceNamespace
