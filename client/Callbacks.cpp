// The one callback class with behaviour: the transport status rule.
#include "Callbacks.h"

namespace DataServiceNamespace {

int CallbackIpcError::operator()(int32 status, ServiceError *record) const {
    if (!record)
        return 1;
    storeErrorCode(*record, status == 0 ? 1 : 0);
    markCompleted(*record);
    return 1;
}

} // namespace DataServiceNamespace
