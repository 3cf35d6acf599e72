// The codec's two client-side operations: request encoding and reply
// dispatch, each a lookup in the action table followed by the row's step.
#include <typeinfo>

#include "ActionTable.h"
#include "Callbacks.h"
#include "ServiceCodec.h"

namespace DataServiceNamespace {

int ServiceCodec::encodeRequest(uint32 methodId, const void *request, EncodedRequest *out) {
    const ActionRow *row = actionWithMethodId(methodId);
    if (!row || !out || !request)
        return 1;
    row->encodeRequest(*this, request, out);
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
    const ActionRow *row = actionWithMethodId(methodId);
    if (!row)
        return 1;
    return row->dispatchResponse(*this, *callback, buffer, size, transportCode, response, report);
}

} // namespace DataServiceNamespace
