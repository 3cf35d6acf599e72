// Undefines the macros of records.def after a use of the table.
#undef DS_RECORD
#undef DS_TEXT
#undef DS_INT32
#undef DS_NESTED
#undef DS_STATUS
#undef DS_LIST
#undef DS_TEXT_LIST
#undef DS_OPAQUE
#undef DS_LOCAL_INT32
#undef DS_LOCAL_TEXT
#undef DS_END
