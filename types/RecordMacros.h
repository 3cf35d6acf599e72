// Default (empty) expansions for the macros of records.def, so that a user of
// the table defines only the macros it needs. Include this, define what you
// need, include records.def, then include RecordMacrosUndef.h.
#ifndef DS_RECORD
#define DS_RECORD(Name)
#endif
#ifndef DS_TEXT
#define DS_TEXT(field)
#endif
#ifndef DS_INT32
#define DS_INT32(field)
#endif
#ifndef DS_NESTED
#define DS_NESTED(Type, field)
#endif
// A user that does not tell the status apart sees it as the nested record it
// is on the wire.
#ifndef DS_STATUS
#define DS_STATUS(field) DS_NESTED(ServiceError, field)
#endif
#ifndef DS_LIST
#define DS_LIST(Type, field)
#endif
#ifndef DS_TEXT_LIST
#define DS_TEXT_LIST(field)
#endif
#ifndef DS_OPAQUE
#define DS_OPAQUE(field)
#endif
#ifndef DS_LOCAL_INT32
#define DS_LOCAL_INT32(field)
#endif
#ifndef DS_LOCAL_TEXT
#define DS_LOCAL_TEXT(field)
#endif
#ifndef DS_END
#define DS_END(Name)
#endif
