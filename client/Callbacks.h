// Callback objects: typed tokens that name the action a response record
// belongs to, told apart by their run-time class only.
#pragma once

#include "DataServiceTypes.h"

// The root of every callback class. invoke is declared first so that it keeps
// the first slot of the table of virtual operations; nothing calls it. The
// virtual destructor (a second slot) lets destroy_callback_functor release an
// object of any derived class through a CallbackBase pointer.
class CallbackBase {
public:
    virtual void invoke() = 0;
    virtual ~CallbackBase() = default;
};

namespace DataServiceNamespace {

// Carries the rule by which a transport status is written into a
// ServiceError: used by the connection handler and by the method-id-0 branch
// of both dispatchers.
class CallbackIpcError : public CallbackBase {
public:
    void invoke() override {}

    // Writes errorCode (1 for status 0, else 0) and then processingOK = 1, both
    // as atomic stores (storeErrorCode, markCompleted): the caller may be
    // reading the record on its own thread at any time, since connection events
    // keep arriving after the flag is 1. A reader that sees the flag with an
    // acquire load also sees errorCode. Nothing else of the record changes; a
    // null record is left alone. Runs on whichever thread reports the status
    // (usually an IPC thread); takes no lock. Returns 1.
    int operator()(int32 status, ServiceError *record) const;
};

// One final class per action of client/actions.def, named
// RecvResponseCallback followed by the action name. final makes the
// dispatchers' run-time class test an identity test.
#define DS_ACTION(name, methodId, RequestType, ResponseType)                                \
    class RecvResponseCallback##name final : public CallbackBase {                          \
    public:                                                                                 \
        void invoke() override {}                                                           \
    };
#include "actions.def"
#undef DS_ACTION

// Raises the completion flag of a record's error field: the last write of a
// completion, made as a release store so that a caller polling processingOK
// with an acquire load sees every field written before it.
inline void markCompleted(ServiceError &error) {
    __atomic_store_n(&error.processingOK, 1, __ATOMIC_RELEASE);
}

// Reads a completion flag with an acquire load: the counterpart of
// markCompleted for callers (tests, binding) that poll a record.
inline int32 completionFlag(const ServiceError &error) {
    return __atomic_load_n(&error.processingOK, __ATOMIC_ACQUIRE);
}

// Writes errorCode of a status record that its owner may read at the same
// time (connection events). Relaxed: the flag's release store that follows
// orders it for a reader that polls the flag.
inline void storeErrorCode(ServiceError &error, int32 code) {
    __atomic_store_n(&error.errorCode, code, __ATOMIC_RELAXED);
}

// Reads errorCode of a status record that connection events may be writing:
// the counterpart of storeErrorCode.
inline int32 statusErrorCode(const ServiceError &error) {
    return __atomic_load_n(&error.errorCode, __ATOMIC_RELAXED);
}

} // namespace DataServiceNamespace
