// The codec's two client-side operations: request encoding and reply
// dispatch, each the action's step reached from the method id (withAction).
#include <typeinfo>

#include "ActionTable.h"
#include "Callbacks.h"
#include "ResponseSteps.h"
#include "ServiceCodec.h"

namespace DataServiceNamespace {

int ServiceCodec::encodeRequest(uint32 methodId, const void *request, EncodedRequest *out) {
    if (!out || !request)
        return 1;
    withAction(methodId, [&](auto *action) {
        encodeRequestAs<CallbackOf<decltype(action)>>(*this, request, out);
    });
    return 1;
}

int ServiceCodec::dispatchResponse(uint32 methodId, CallbackBase *callback, const char *buffer,
                                   uint32 size, int32 transportCode, void *response,
                                   DecodeReport *report) {
    if (!callback)
        return 0;
    if (methodId == 0) {
        if (typeid(*callback) != typeid(CallbackIpcError))
            return 0;
        static_cast<CallbackIpcError &>(*callback)(transportCode,
                                                   static_cast<ServiceError *>(response));
        return 1;
    }
    int result = 1; // a method id of no action
    withAction(methodId, [&](auto *action) {
        result = dispatchResponseAs<CallbackOf<decltype(action)>>(
            *this, *callback, buffer, size, transportCode, response, report);
    });
    return result;
}

} // namespace DataServiceNamespace
