// The codec of records and bytes: owns the serialization tool handle, turns
// records into metadata instances and back, and instances into bytes. What
// goes by action (method ids, callback objects) is the client's ServiceCodec.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DataServiceTypes.h"
#include "zetaserialization.h"

namespace DataServiceNamespace {

// One problem found while decoding: a tag that the record does not have, or a
// field tag that the instance has no value for. Names are bare tag names.
struct TagProblem {
    cfstring tagName; // the tag, without the path of enclosing fields
    int32 kind = 0;   // unexpectedTag or missingTag
};
enum TagProblemKind : int32 { unexpectedTag = 1, missingTag = 2 };
typedef std::vector<TagProblem> TagProblemList;

// The one owning byte array of the codec: encoded requests and responses,
// released when it goes out of scope. Moved, never copied.
class ByteBuffer {
public:
    ByteBuffer() = default;
    // size bytes, uninitialised; no array at all for 0.
    explicit ByteBuffer(uint32 size) : data_(size > 0 ? new char[size] : nullptr), size_(size) {}

    const char *data() const { return data_.get(); }
    char *data() { return data_.get(); }
    uint32 size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { *this = ByteBuffer(); }

private:
    std::unique_ptr<char[]> data_; // null exactly when size_ is 0
    uint32 size_ = 0;
};

// Owns one thing the serialization library handed out against a tool (an
// instance, a tag listing, an opaque block) and gives it back with Release
// when the scope ends, also when a decoder throws (std::bad_alloc). The tool
// must outlive the guard.
template <class Handle, int (*Release)(zeta_tool, Handle *)> class ToolOwned {
public:
    explicit ToolOwned(zeta_tool tool, Handle handle = nullptr) : tool_(tool), handle_(handle) {}
    ~ToolOwned() {
        if (handle_ != nullptr)
            Release(tool_, &handle_);
    }
    ToolOwned(const ToolOwned &) = delete;
    ToolOwned &operator=(const ToolOwned &) = delete;

    Handle get() const { return handle_; }
    // Where the library writes a handle it creates.
    Handle *out() { return &handle_; }

private:
    zeta_tool tool_;
    Handle handle_;
};

// A top-level metadata instance (children belong to their parent).
using OwnedInstance = ToolOwned<zeta_instance, zetaserialization_destroyMetadataInstance>;
// The tag listing of getHavingValueTagNames.
using OwnedTagNames = ToolOwned<char *, zetaserialization_releaseTagNames>;
// An opaque block of getOpaqueTagValue.
using OwnedOpaque = ToolOwned<char *, zetaserialization_releaseOpaqueValue>;

class RecordCodec {
public:
    RecordCodec() = default;
    ~RecordCodec(); // destroyTool
    RecordCodec(const RecordCodec &) = delete;
    RecordCodec &operator=(const RecordCodec &) = delete;

    // Creates the tool and loads the definition file: definitionPath, or
    // "ConfigSerializationDef.txt" when it is empty. Failures leave a tool
    // that knows no types; always returns 1.
    int createTool(const cfstring &definitionPath);
    // Destroys the tool, if any; always returns 1.
    int destroyTool();

    // Encoding: a new instance of the record's type holding its transmitted
    // fields, owned by the caller (null when the tool knows no such type).
    // Decoding: fills the fields whose tags have a value, appends what does
    // not match to problems; never destroys the instance. One overload per
    // record type.
#define DS_RECORD(Name)                                                                    \
    zeta_instance toMetadata(const Name &record, zeta_tool tool);                          \
    void fromMetadata(Name &record, zeta_instance instance, zeta_tool tool,                \
                      TagProblemList &problems);
#include "RecordMacros.h"
#include "records.def"
#include "RecordMacrosUndef.h"

    zeta_tool tool = nullptr; // the tool handle; null while no tool exists
};

// Serialises a top-level instance into a buffer of exactly the needed size
// and destroys the instance. Shared by request and response encoding.
ByteBuffer encodeInstance(zeta_tool tool, zeta_instance instance);

// The bytes of a record as they travel (toMetadata, then encodeInstance).
template <class Record> ByteBuffer encodeRecord(RecordCodec &codec, const Record &record) {
    return encodeInstance(codec.tool, codec.toMetadata(record, codec.tool));
}

// The same as a string, for tools, benchmarks and fuzzers that keep encoded
// records around.
template <class Record> std::string encodedBytes(RecordCodec &codec, const Record &record) {
    const ByteBuffer encoded = encodeRecord(codec, record);
    return std::string(encoded.data() != nullptr ? encoded.data() : "", encoded.size());
}

// Decodes buffer into record when it holds bytes (size taken as a signed
// 32-bit count greater than 0); otherwise the record keeps its values.
// Returns whether the bytes held an instance at all (false for no bytes).
template <class Record>
bool decodeBytes(RecordCodec &codec, Record &record, const char *buffer, uint32 size,
                 TagProblemList &problems) {
    if (!buffer || static_cast<int32>(size) <= 0)
        return false;
    OwnedInstance instance(codec.tool);
    zetaserialization_deserialize(codec.tool, buffer, size, instance.out());
    codec.fromMetadata(record, instance.get(), codec.tool, problems);
    return instance.get() != nullptr;
}

} // namespace DataServiceNamespace
