// The service's codec: owns the serialization tool handle and turns records
// into metadata instances and back, and requests and responses into bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DataServiceTypes.h"
#include "zetaserialization.h"

class CallbackBase;

namespace DataServiceNamespace {

// One problem found while decoding: a tag that the record does not have, or a
// field tag that the instance has no value for. Names are bare tag names.
struct TagProblem {
    cfstring tagName; // the tag, without the path of enclosing fields
    int32 kind = 0;   // unexpectedTag or missingTag
};
enum TagProblemKind : int32 { unexpectedTag = 1, missingTag = 2 };
typedef std::vector<TagProblem> TagProblemList;

// An encoded request: an array allocated with new[] by encodeRequest and
// released with delete[] by its sender.
struct EncodedRequest {
    char *data = nullptr; // the bytes, or null when nothing was encoded
    uint32 size = 0;      // their count
};

// An encoded response, filled by dispatchRequest and released with delete[]
// by the serving side once it has been sent.
struct ResponseBuffer {
    char *data = nullptr; // the bytes, or null when no response was encoded
    uint32 size = 0;      // their count
};

// Whether a reply decoded cleanly as its action's response type: it carried
// an instance, and that instance had no tag the response type lacks. The
// protocol delivers a damaged reply like a good one; callers that must not
// accept one ask for this report.
struct DecodeReport {
    bool clean = false; // false until a dispatch decoded the reply
};

class ServiceCodec {
public:
    ServiceCodec() = default;
    ~ServiceCodec(); // destroyTool
    ServiceCodec(const ServiceCodec &) = delete;
    ServiceCodec &operator=(const ServiceCodec &) = delete;

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

    // Encodes the request record of the action with this method id into out
    // (client side). An unknown method id leaves out empty. Returns 1.
    int encodeRequest(uint32 methodId, const void *request, EncodedRequest *out);

    // Decodes a reply into a fresh record of the action's response type and
    // completes the caller's response record (client side, on an IPC thread).
    // Returns 1 when a completion ran or the method id is unknown, 0 when the
    // callback is null or not of the action's class.
    // When report is given, it tells whether the reply decoded cleanly.
    int dispatchResponse(uint32 methodId, CallbackBase *callback, const char *buffer,
                         uint32 size, int32 transportCode, void *response,
                         DecodeReport *report = nullptr);

    // Decodes a request and encodes the action's response into response
    // (serving side, on an IPC thread).
    void dispatchRequest(uint32 methodId, CallbackBase *callback, const char *requestData,
                         int32 requestSize, ResponseBuffer *response, int32 transportCode,
                         void *record);

    zeta_tool tool = nullptr; // the tool handle; null while no tool exists
};

// Serialises an instance into a new[] array of exactly the needed size and
// destroys the instance. Shared by request and response encoding.
void encodeInstance(zeta_tool tool, zeta_instance *instance, char **data, uint32 *size);

// The bytes of a record as they travel (toMetadata, then encodeInstance), for
// tools, benchmarks and fuzzers that keep encoded records around.
template <class Record> std::string encodedBytes(ServiceCodec &codec, const Record &record) {
    zeta_instance instance = codec.toMetadata(record, codec.tool);
    char *data = nullptr;
    uint32 size = 0;
    encodeInstance(codec.tool, &instance, &data, &size);
    std::string bytes(data != nullptr ? data : "", size);
    delete[] data;
    return bytes;
}

// Destroys a top-level metadata instance when the scope ends, also when a
// decoder throws (std::bad_alloc), so no instance outlives one dispatch.
class InstanceGuard {
public:
    InstanceGuard(zeta_tool tool, zeta_instance &instance) : tool_(tool), instance_(instance) {}
    ~InstanceGuard() { zetaserialization_destroyMetadataInstance(tool_, &instance_); }
    InstanceGuard(const InstanceGuard &) = delete;
    InstanceGuard &operator=(const InstanceGuard &) = delete;

private:
    zeta_tool tool_;
    zeta_instance &instance_;
};

// Decodes buffer into record when it holds bytes (size taken as a signed
// 32-bit count greater than 0); otherwise the record keeps its values.
// Returns whether the bytes held an instance at all (false for no bytes).
template <class Record>
bool decodeBytes(ServiceCodec &codec, Record &record, const char *buffer, uint32 size,
                 TagProblemList &problems) {
    if (!buffer || static_cast<int32>(size) <= 0)
        return false;
    zeta_instance instance = nullptr;
    zetaserialization_deserialize(codec.tool, buffer, size, &instance);
    InstanceGuard guard(codec.tool, instance);
    codec.fromMetadata(record, instance, codec.tool, problems);
    return instance != nullptr;
}

} // namespace DataServiceNamespace
