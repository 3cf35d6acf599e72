/* zetaserialization: schema-driven metadata instances and their encoding.
 *
 * A tool loads a definition file that declares named types with named tags
 * (docs/serialization.md gives its syntax and the buffer format). An instance
 * is a value of one type; tags are set and read by name. A tag "has a value"
 * when it was set (text, int32, opaque, nested) or holds at least one element
 * (lists). serialize turns an instance into bytes that name their type, so
 * deserialize needs no type.
 *
 * Handles are opaque pointers. Child instances obtained from or handed to a
 * parent belong to the parent. Texts are NUL-terminated. Every operation
 * returns ZETA_OK or an error code and leaves out values untouched on error.
 * Null instances are accepted everywhere and behave as empty: they list no
 * tags, serialize to nothing and destroy as nothing.
 *
 * Threads: one tool may be used from several threads at once, provided each
 * instance is used by one thread at a time. Loading a definition while other
 * threads use the tool is not allowed.
 */
#ifndef ZETASERIALIZATION_H
#define ZETASERIALIZATION_H

#include <stdint.h>

#if defined(_WIN32)
#define ZETA_API __declspec(dllexport)
#else
#define ZETA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void *zeta_tool;
typedef void *zeta_instance;

#define ZETA_OK 0
#define ZETA_EINVAL 1       /* null tool, null out pointer, null name or text */
#define ZETA_EDEFINITION 2  /* the definition file is missing or does not parse */
#define ZETA_ETYPE 3        /* unknown type, or a child of another type than the tag's */
#define ZETA_ETAG 4         /* the instance's type has no such tag, or the tag has another kind */
#define ZETA_ENOVALUE 5     /* the tag has no value */
#define ZETA_ERANGE 6       /* index outside the list, buffer too small, or too large to encode */
#define ZETA_EDECODE 7      /* the bytes are not an encoded instance */
#define ZETA_ENOMEM 8       /* out of memory */

/* Length of one entry of the tag name list, NUL included. */
#define ZETA_TAG_NAME_SIZE 256

ZETA_API int zetaserialization_createSerializationTool(zeta_tool *tool);
/* Replaces the tool's types by those of the file at path. On failure the tool
 * knows no types. */
ZETA_API int zetaserialization_loadMetadataDefintion(zeta_tool tool, const char *path);
ZETA_API int zetaserialization_destroySerializationTool(zeta_tool *tool);

/* Stores a new empty instance of the named type in *inst (null when the type
 * is unknown). */
ZETA_API int zetaserialization_createMetadataInstance(zeta_tool tool, const char *type_name,
                                                      zeta_instance *inst);
/* Releases a top-level instance and its children; sets *inst to null. */
ZETA_API int zetaserialization_destroyMetadataInstance(zeta_tool tool, zeta_instance *inst);

ZETA_API int zetaserialization_setStringTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, const char *text);
ZETA_API int zetaserialization_setInt32TagValue(zeta_tool tool, zeta_instance inst,
                                                const char *tag, int32_t value);
ZETA_API int zetaserialization_setOpaqueTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, uint32_t size,
                                                 const char *bytes);
/* The parent takes the child over in every case, also when it refuses it
 * (then the child is released): the caller never destroys a child it handed
 * over. Only a child that is no live top-level instance of the tool, or that
 * is or contains the parent, is refused with ZETA_EINVAL and stays with its
 * owner. */
ZETA_API int zetaserialization_assignNestedTagValue(zeta_tool tool, zeta_instance inst,
                                                    const char *tag, zeta_instance child);
ZETA_API int zetaserialization_addNestedContainerTagValue(zeta_tool tool, zeta_instance inst,
                                                          const char *tag, zeta_instance child);
ZETA_API int zetaserialization_addStringContainerTagValue(zeta_tool tool, zeta_instance inst,
                                                          const char *tag, const char *text);

/* Exact size of the encoded form (0 for a null instance). */
ZETA_API int zetaserialization_getSerializationNeededBufferSize(zeta_tool tool,
                                                                zeta_instance inst,
                                                                uint32_t *size);
/* Writes the encoded form; size must be at least the needed size. */
ZETA_API int zetaserialization_serialize(zeta_tool tool, zeta_instance inst, char *buffer,
                                         uint32_t size);
/* Stores a new top-level instance decoded from the bytes in *inst, or leaves
 * *inst untouched (null) when they do not decode. */
ZETA_API int zetaserialization_deserialize(zeta_tool tool, const char *buffer, uint32_t size,
                                           zeta_instance *inst);

/* Lists the tags with a value, in the type's tag order, as *count entries of
 * ZETA_TAG_NAME_SIZE bytes each in one block stored in *names; release the
 * block with zetaserialization_releaseTagNames. */
ZETA_API int zetaserialization_getHavingValueTagNames(zeta_tool tool, zeta_instance inst,
                                                      char **names, uint32_t *count);
ZETA_API int zetaserialization_releaseTagNames(zeta_tool tool, char **names);

/* Size of a text value including its terminating NUL. */
ZETA_API int zetaserialization_getStringTagValueSize(zeta_tool tool, zeta_instance inst,
                                                     const char *tag, uint32_t *size);
/* Writes the text and a NUL; the buffer must hold the size reported above. */
ZETA_API int zetaserialization_getStringTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, char *buffer);
ZETA_API int zetaserialization_getInt32TagValue(zeta_tool tool, zeta_instance inst,
                                                const char *tag, int32_t *value);
/* The child belongs to inst; null when the tag has no value. */
ZETA_API int zetaserialization_getNestedTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, zeta_instance *child);
ZETA_API int zetaserialization_getContainerTagSize(zeta_tool tool, zeta_instance inst,
                                                   const char *tag, uint32_t *count);
ZETA_API int zetaserialization_getNestedContainerTagValue(zeta_tool tool, zeta_instance inst,
                                                          const char *tag, uint32_t index,
                                                          zeta_instance *child);
ZETA_API int zetaserialization_getStringContainerTagValueSize(zeta_tool tool,
                                                              zeta_instance inst,
                                                              const char *tag, uint32_t index,
                                                              uint32_t *size);
ZETA_API int zetaserialization_getStringContainerTagValue(zeta_tool tool, zeta_instance inst,
                                                          const char *tag, uint32_t index,
                                                          char *buffer);
/* A copy of the opaque bytes in *bytes (release with releaseOpaqueValue) and
 * their count; *bytes stays null when the tag has no value. */
ZETA_API int zetaserialization_getOpaqueTagValue(zeta_tool tool, zeta_instance inst,
                                                 const char *tag, uint32_t *size,
                                                 char **bytes);
ZETA_API int zetaserialization_releaseOpaqueValue(zeta_tool tool, char **bytes);

#ifdef __cplusplus
}
#endif

#endif /* ZETASERIALIZATION_H */
