// The service object's codec: the codec of records and bytes, and the three
// operations that go by action (a method id and a callback object): request
// encoding and reply dispatch on the client side (ClientCodec.cpp), request
// dispatch on the serving side (host/RequestDispatch.cpp).
#pragma once

#include "RecordCodec.h"

class CallbackBase;

namespace DataServiceNamespace {

// An encoded request, filled by encodeRequest and released by its sender
// once sent.
using EncodedRequest = ByteBuffer;
// An encoded response, filled by dispatchRequest and released by the
// serving side once sent.
using ResponseBuffer = ByteBuffer;

// Whether a reply decoded cleanly as its action's response type: it carried
// an instance, and that instance had no tag the response type lacks. The
// protocol delivers a damaged reply like a good one; callers that must not
// accept one ask for this report.
struct DecodeReport {
    bool clean = false; // false until a dispatch decoded the reply
};

class ServiceCodec : public RecordCodec {
public:
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
};

} // namespace DataServiceNamespace
