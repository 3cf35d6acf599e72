// The run-time action table and its two lookups.
#include "ActionTable.h"

#include <cstring>

namespace DataServiceNamespace {

namespace {
template <class Callback> CallbackBase *createCallbackAs() { return new Callback(); }
} // namespace

const ActionRow actionTable[actionCount] = {
#define DS_ACTION(name, methodId, RequestType, ResponseType)                                \
    {#name,                                                                                 \
     methodId,                                                                              \
     &typeid(RecvResponseCallback##name),                                                   \
     &createCallbackAs<RecvResponseCallback##name>},
#include "actions.def"
#undef DS_ACTION
};

const ActionRow *actionNamed(const char *name) {
    if (!name)
        return nullptr;
    for (const ActionRow &row : actionTable)
        if (std::strcmp(row.name, name) == 0)
            return &row;
    return nullptr;
}

const ActionRow *actionWithMethodId(uint32 methodId) {
    for (const ActionRow &row : actionTable)
        if (row.methodId == methodId)
            return &row;
    return nullptr;
}

} // namespace DataServiceNamespace
