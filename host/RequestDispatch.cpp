// The codec's serving-side operation: decode a request by its method id, let
// a ServingHandler fill the response, and encode the response.
#include <typeinfo>

#include "ActionTable.h"
#include "ResponseSteps.h"
#include "ServingHandler.h"

namespace DataServiceNamespace {

namespace {

// The pipeline of one action: decode into a fresh request record, build the
// default response, let a ServingHandler fill it, encode it, release the
// response's image; an answer above the handler's limit is replaced by the
// handler's error-only answer. Records, instances and the image are released
// on every path, exceptions included.
template <class Callback>
void dispatchRequestAs(ServiceCodec &codec, CallbackBase *callback, const char *requestData,
                       int32 requestSize, ResponseBuffer *response, void *record) {
    using Request = typename Action<Callback>::Request;
    using Response = typename Action<Callback>::Response;
    TagProblemList problems;
    Request request;
    if (requestSize > 0)
        decodeBytes(codec, request, requestData, static_cast<uint32>(requestSize), problems);
    auto *handler = dynamic_cast<ServingHandler *>(callback);
    {
        Response answer;
        ImageReleaser<Response> releaser(answer);
        if (handler)
            handler->serve(Action<Callback>::methodId, &request, &answer, record);
        *response = encodeRecord(codec, answer);
    }
    if (!handler)
        return;
    if (response->size() <= handler->answerLimit()) {
        handler->answerEncoded(Action<Callback>::methodId, response->size());
        return;
    }
    // Too large for one frame: an error-only answer instead of none at all.
    const std::size_t refusedSize = response->size();
    response->clear();
    Response small;
    ImageReleaser<Response> releaser(small);
    handler->answerTooLarge(Action<Callback>::methodId, &small, refusedSize);
    *response = encodeRecord(codec, small);
    handler->answerEncoded(Action<Callback>::methodId, response->size());
}

} // namespace

void ServiceCodec::dispatchRequest(uint32 methodId, CallbackBase *callback,
                                   const char *requestData, int32 requestSize,
                                   ResponseBuffer *response, int32 transportCode, void *record) {
    if (methodId == 0) {
        if (callback && typeid(*callback) == typeid(CallbackIpcError))
            static_cast<CallbackIpcError &>(*callback)(transportCode,
                                                       static_cast<ServiceError *>(record));
        return;
    }
    if (!response)
        return;
    withAction(methodId, [&](auto *action) {
        dispatchRequestAs<CallbackOf<decltype(action)>>(*this, callback, requestData,
                                                        requestSize, response, record);
    });
}

} // namespace DataServiceNamespace
