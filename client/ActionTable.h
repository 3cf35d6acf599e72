// The action table: binds each action name to its method id, its request and
// response record types, its callback class and its per-action steps. Every
// artefact below is expanded from client/actions.def.
#pragma once

#include <cstddef>
#include <type_traits>
#include <typeinfo>

#include "Callbacks.h"
#include "RecordInfo.h"
#include "ServiceCodec.h"

namespace DataServiceNamespace {

// Compile-time row of one action, keyed by its callback class:
// Action<RecvResponseCallbackdevices>::Request is DeviceReqData.
template <class Callback> struct Action;

#define DS_ACTION(actionName, id, RequestType, ResponseType)                                \
    template <> struct Action<RecvResponseCallback##actionName> {                          \
        static constexpr const char *name = #actionName;                                    \
        static constexpr uint32 methodId = id;                                              \
        using Request = RequestType;                                                        \
        using Response = ResponseType;                                                      \
        /* completion raises the status's flag; Python turns it into exceptions */          \
        static_assert(hasStatus<RequestType> && hasStatus<ResponseType>,                    \
                      #RequestType " and " #ResponseType " need a DS_STATUS field");        \
    };
#include "actions.def"
#undef DS_ACTION

// Run-time row of one action, for lookups by name. The steps of an action
// are reached from its method id through withAction.
struct ActionRow {
    const char *name;                    // action name, compared byte for byte
    uint32 methodId;                     // the action on the wire
    const std::type_info *callbackType;  // typeid of RecvResponseCallback<name>
    CallbackBase *(*createCallback)();   // new object of that class
};

#define DS_ACTION(name, methodId, RequestType, ResponseType) +1
constexpr std::size_t actionCount = 0
#include "actions.def"
    ;
#undef DS_ACTION

// The 22 rows in the order of client/actions.def.
extern const ActionRow actionTable[actionCount];

// The row whose name equals name exactly (same length, same bytes, case
// kept, nothing trimmed), or null. name may be null (no row).
const ActionRow *actionNamed(const char *name);

// The row with this method id, or null (method id 0 is in no row).
const ActionRow *actionWithMethodId(uint32 methodId);

// Calls f(static_cast<Callback *>(nullptr)) once per action, in table order,
// for code that needs the action's types at compile time.
template <class F> void forEachAction(F &&f) {
#define DS_ACTION(name, methodId, RequestType, ResponseType)                                \
    f(static_cast<RecvResponseCallback##name *>(nullptr));
#include "actions.def"
#undef DS_ACTION
}

// Calls f(static_cast<Callback *>(nullptr)) for the action with this method
// id and returns true, or returns false when no action has it (method id 0
// included). The one way from the method id of a frame to an action's typed
// steps, for the client's encoding and completion and the serving side's
// dispatch alike.
template <class F> bool withAction(uint32 methodId, F &&f) {
    switch (methodId) {
#define DS_ACTION(name, id, RequestType, ResponseType)                                      \
    case id:                                                                                \
        f(static_cast<RecvResponseCallback##name *>(nullptr));                              \
        return true;
#include "actions.def"
#undef DS_ACTION
    default:
        return false;
    }
}

// The callback class of the tag that forEachAction and withAction pass.
template <class Tag> using CallbackOf = typename std::remove_pointer<Tag>::type;

// The 22 callback classes as a type list, for typed tests.
template <class... Types> struct TypeList {};
namespace detail {
template <class First, class... Rest> struct DropFirst {
    using type = TypeList<Rest...>;
};
} // namespace detail
#define DS_ACTION(name, methodId, RequestType, ResponseType) , RecvResponseCallback##name
using ActionCallbackTypes = detail::DropFirst<void
#include "actions.def"
                                              >::type;
#undef DS_ACTION

} // namespace DataServiceNamespace
