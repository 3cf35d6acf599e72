// The per-action steps of the codec, written once as templates over the
// action's callback class and instantiated for each row of the action table:
// request encoding, reply decoding and the completion of a response record.
#pragma once

#include <algorithm>
#include <typeinfo>
#include <utility>

#include "ActionTable.h"
#include "Callbacks.h"
#include "RecordInfo.h"
#include "ServiceCodec.h"
#include "ServiceIpc.h"

namespace DataServiceNamespace {

// Releases the image array of a record that the dispatcher owns (only the
// image response has one) when the scope ends, exceptions included.
template <class Record> class ImageReleaser {
public:
    explicit ImageReleaser(Record &) {}
};
template <> class ImageReleaser<DeviceIdImageResData> {
public:
    explicit ImageReleaser(DeviceIdImageResData &record) : record_(record) {}
    ~ImageReleaser() {
        delete[] record_.image_data;
        record_.image_data = nullptr;
    }
    ImageReleaser(const ImageReleaser &) = delete;
    ImageReleaser &operator=(const ImageReleaser &) = delete;

private:
    DeviceIdImageResData &record_;
};

// Writes a nonzero transport code into a decoded record's error, with the
// timeout message when the code says that the time ran out.
inline void noteTransportError(ServiceError &error, int32 transportCode) {
    if (transportCode == transportTimeout)
        error.errorMesg = timeoutMessage;
    error.errorCode = transportCode;
}

// Moves every field of a ServiceError but its processingOK: the caller
// polls that flag while a request is pending, so the completion writes it
// once, with markCompleted, and never with a plain store.
struct AllButCompletionFlag {
    template <class Kind, class Field>
    void operator()(Kind, const char *, Field &to, Field &from) const {
        to = std::move(from);
    }
    void operator()(LocalInt32Field, const char *, int32 &, int32 &) const {}
};

// Moves a decoded response into the caller's record, field by field in
// declaration order, except the processingOK of its status (see
// AllButCompletionFlag): texts and lists change hands without a copy or an
// allocation, so nothing can fail halfway. image_data is copied as a pointer,
// as record assignment does. Another ServiceError field (service_error) is a
// plain nested record and is moved whole.
struct CompletionAssigner {
    template <class Kind, class Field>
    void operator()(Kind, const char *, Field &to, Field &from) const {
        to = std::move(from);
    }
    void operator()(StatusField, const char *, ServiceError &to, ServiceError &from) const {
        RecordInfo<ServiceError>::visit(AllButCompletionFlag{}, to, from);
    }
    void operator()(OpaqueField, const char *, opaque &to, opaque &from, opaque_size &toSize,
                    opaque_size &fromSize) const {
        to = from;
        toSize = fromSize;
    }
};

// from is left moved-from: the decoded record, which is thrown away after.
template <class Response> void assignForCompletion(Response &to, Response &from) {
    RecordInfo<Response>::visit(CompletionAssigner{}, to, from);
}

// completeResponse, the completion step of every action but the image one:
// notes a transport error in the decoded record, moves it into the caller's
// record (when there is one) and raises its processingOK last. Runs on the
// thread that delivers the reply, without a lock. Returns 1.
template <class Response>
int completeResponse(Response &decoded, ServiceError &error, int32 transportCode,
                     Response *response) {
    if (transportCode != 0)
        noteTransportError(error, transportCode);
    if (!response)
        return 1;
    assignForCompletion(*response, decoded);
    markCompleted(statusOf(*response));
    return 1;
}

// The image action's completion: as above, and when the reply carries image
// bytes with a nonzero decoded errorCode, stores them in the file
// image_file_path + '\\' + "_tmp_output_" + device_id + ".bin" (or
// "_tmp_output.bin" without a response record). The caller's record receives
// its own new[] copy of the image bytes and the path of the file in
// image_file_path (empty when none was written). Returns 1.
int completeResponse(DeviceIdImageResData &decoded, ServiceError &error, int32 transportCode,
                     DeviceIdImageResData *response);

// The path under which the image of a reply is stored, built with a
// backslash whatever the platform.
cfstring imageFilePath(const DeviceIdImageResData *response);

// Request encoding of one action: toMetadata of the request record, then the
// needed size, an array of that size and serialize (encodeInstance).
template <class Callback>
void encodeRequestAs(ServiceCodec &codec, const void *request, EncodedRequest *out) {
    using Request = typename Action<Callback>::Request;
    *out = encodeRecord(codec, *static_cast<const Request *>(request));
}

// Response dispatch of one action: decode into a fresh record, test the
// callback's class (identity), run the completion step, release the decoded
// record's image. Returns the completion's result, 0 for a foreign callback.
// Fills report (when given) before the completion is published.
template <class Callback>
int dispatchResponseAs(ServiceCodec &codec, CallbackBase &callback, const char *buffer,
                       uint32 size, int32 transportCode, void *response, DecodeReport *report) {
    using Response = typename Action<Callback>::Response;
    TagProblemList problems;
    Response decoded;
    ImageReleaser<Response> releaser(decoded);
    bool heldInstance = decodeBytes(codec, decoded, buffer, size, problems);
    if (report)
        report->clean = heldInstance &&
                        std::none_of(problems.begin(), problems.end(), [](const TagProblem &problem) {
                            return problem.kind == unexpectedTag;
                        });
    if (typeid(callback) != typeid(Callback))
        return 0;
    return completeResponse(decoded, statusOf(decoded), transportCode,
                            static_cast<Response *>(response));
}

} // namespace DataServiceNamespace
