// The service object: one connection to the data service with its codec,
// its pending requests, and the serving side of the same protocol.
//
// Asynchronous steps of one request:
//
//   caller thread                          IPC thread
//   -------------                          ----------
//   send_service_request
//     sendRequest: encodeRequest
//       append PendingRequest  (lock)
//       caller_async_send_ipc_request ---> ... reply, timeout or error
//                                          onResponse
//                                            find entry      (lock)
//                                            dispatchResponse
//                                              decode, class test,
//                                              completeResponse
//                                              processingOK = 1 (release)
//                                            remove entry    (lock)
//                                            requestEndHook, if set (no lock)
//   poll processingOK (acquire) <----------'
//   (or be woken by what the hook does)
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "Callbacks.h"
#include "DataServiceTypes.h"
#include "ServiceCodec.h"
#include "ServiceIpc.h"

namespace DataServiceNamespace {

class ServingWorkers; // host/ServingWorkers.h

// One request sent and not yet answered.
struct PendingRequest {
    CallbackBase *callback;  // the caller's callback object, not owned
    void *responseRecord;    // the caller's response record, not owned; may be null
    uint64_t token;          // from create_ipc_token
    uint32 methodId;         // the action's method id
};

// One entry of the serving side's handler registry (same layout as
// PendingRequest).
struct HandlerEntry {
    CallbackBase *callback;  // the handler object, not owned; never null
    void *record;            // a record bound to the handler, not owned; may be null
    uint64_t token;          // always 0
    uint32 methodId;         // an action's method id, or 0
};

// How one request ended, told to a RequestEndHook.
struct RequestEnd {
    void *responseRecord;  // the caller's response record (may be null), complete now
    uint32 methodId;       // the action's method id
    int32 transportCode;   // 0 when a reply arrived
    bool decodedCleanly;   // the reply decoded as the action's response type (DecodeReport)
};

// Called once for every request that ends through a reply, a transport
// failure or a repeated connect, after the response record has been completed
// (processingOK already 1) and the request removed from pendingRequests. Not
// called for requests dropped by destruction. Runs on an IPC thread (on the
// caller's thread for a repeated connect), with no lock of the stub held; it
// must not block for long, must not call into the stub and, in a Python
// process, must not take the interpreter lock.
typedef void (*RequestEndHook)(void *context, const RequestEnd &end);

class DataServiceStub {
public:
    // Both constructors initialise the IPC module once for this stub and
    // create the serialization tool, loading definitionPath, or
    // "ConfigSerializationDef.txt" in the working directory when it is empty.
    // Neither connects. Caller's thread.
    DataServiceStub();
    explicit DataServiceStub(const cfstring &definitionPath);

    // Destroys the caller channel, stops serving as stopListening does (the
    // serving workers answer what they hold first; afterwards the library
    // calls no handler of this stub), releases the IPC module and the tool.
    // Pending requests are dropped without completion; the records and
    // callback objects they name are the caller's and are not touched. Must
    // not run inside a handler of this stub.
    ~DataServiceStub();

    DataServiceStub(const DataServiceStub &) = delete;
    DataServiceStub &operator=(const DataServiceStub &) = delete;

    // Points the stub at host:port. A channel made by an earlier connect is
    // destroyed first and the requests still pending are completed with
    // transport code VELORN_IPC_ECLOSED. A non-null statusRecord replaces the
    // earlier one; it must outlive the stub (or the next connect). Returns
    // true when the library made a channel and accepted the on-connected
    // registration. Caller's thread; not concurrently with sendRequest.
    bool connect(const cfstring &host, int32 port, ServiceError *statusRecord);

    // The connection handler given to velorn_ipc: applies CallbackIpcError to
    // the status and statusRecord (errorCode 1 for status 0, else 0; then
    // processingOK 1). IPC thread; takes no lock.
    static void onConnectionEvent(velorn_ipc_handle handle, void *context, int32_t status);

    // Encodes request, records it as pending and hands it to the library on
    // the current channel; returns the result of encodeRequest (1). response
    // and callback must stay alive until the request completes. Caller's
    // thread.
    int sendRequest(uint32 methodId, CallbackBase *callback, const void *request,
                    int32 timeout, void *response);

    // The response handler given to velorn_ipc: finds the pending entry with
    // the reply's token and method id, dispatches the reply outside the lock,
    // then removes the entry. A reply that matches no entry is dropped.
    // IPC thread; never lets an exception out.
    static void onResponse(velorn_ipc_handle handle, void *context, uint64_t token,
                           uint32_t methodId, uint32_t size, const char *buffer,
                           int32_t transportCode);

    // Serving side (host/). Registration is guarded by registryLock, so it may
    // change while listening; a handler object must stay alive until
    // stopListening (or destruction), because a request already read from the
    // registry may still be using it.
    //
    // registerHandler appends {callback, record, 0, methodId}; a null callback
    // is refused with 0. unregisterHandler removes the first entry with that
    // method id, if any, and returns 1. Any thread.
    int registerHandler(uint32 methodId, CallbackBase *callback, void *record);
    int unregisterHandler(uint32 methodId);

    // Listens on address:port (port 0 picks a free port, see listeningPort)
    // with a listening channel of its own, apart from the caller channel; a
    // listening channel made before is destroyed first. The address is only
    // the one given: an empty one means defaultListeningAddress. "0.0.0.0"
    // listens on every IPv4 address. Returns 1 when the channel exists and
    // accepting is armed, else 0. Application thread.
    int startListening(const cfstring &address, int32 port);
    // startListening(host, port): the stub's host, "127.0.0.1" unless the
    // client's connect stored another. Programs that serve pass the address
    // explicitly so that a connect can never widen where they listen.
    int startListening(int32 port);
    // Has the serving workers answer what they hold, then destroys the
    // listening channel and every connection it accepted and joins the
    // workers; when it returns no request handler of this stub runs. Returns 1 when there
    // was none or the library destroyed it, else 0. Application thread.
    int stopListening();
    // The local port of the listening channel, 0 when not listening.
    int listeningPort() const;

    // Resets the IPC state (no channels, no status record, "127.0.0.1", -1)
    // and initialises the IPC module again: meant to follow releaseIpc.
    // Returns 1. Application thread.
    int initIpc();
    // Destroys both channels and releases the IPC module; returns 1.
    // Application thread, never inside a handler of this stub.
    int releaseIpc();

    // The accept handler given to velorn_ipc: arms the new connection for
    // requests. Returns the library's result, or 0 without a stub. IPC thread.
    static int onChannelAccepted(velorn_ipc_handle handle, void *context,
                                 velorn_ipc_handle connection);
    // The request handler: dispatches the request to the first handler
    // registered for its method id, or hands it to servingWorkers when that
    // handler asks (ServingHandler::servesOnWorker), and always answers, with
    // an empty body when nothing is registered or the dispatch failed. IPC thread; never
    // lets an exception out.
    static void onRequestReceived(velorn_ipc_handle connection, void *context, uint64_t token,
                                  uint32_t methodId, uint32_t size, const char *buffer,
                                  int32_t transportCode);

    // Written by connect on the caller's thread before the channel's handlers
    // are registered, read by onConnectionEvent on IPC threads.
    ServiceError *statusRecord = nullptr;
    // Owned by the stub; appended on the caller's thread, searched and
    // shortened on IPC threads; guarded by pendingLock. Replies come back in
    // sending order as a rule, so the entry is found at the front and removed
    // there without moving the others (a vector moved every entry per reply).
    std::deque<PendingRequest> pendingRequests;
    // Owned by the stub; changed on the application's thread, read on IPC
    // threads; guarded by registryLock.
    std::vector<HandlerEntry> handlerRegistry;
    // Its tool is used from the caller's and the IPC threads; the library
    // allows that as long as each instance stays on one thread.
    ServiceCodec codec;
    cfstring host;                 // caller's thread only
    int32 port = -1;               // caller's thread only
    velorn_ipc_handle channel = 0; // caller channel; caller's thread only

    std::mutex pendingLock; // guards pendingRequests and the hook; never held across a library call or dispatch

    // Sets (or, with null, clears) the hook told of every request's end. Any
    // thread; requests that end after it returns are told to the new hook.
    void setRequestEndHook(RequestEndHook hook, void *context);
    RequestEndHook requestEndHook = nullptr; // guarded by pendingLock
    void *requestEndContext = nullptr;       // guarded by pendingLock

    velorn_ipc_handle listeningChannel = 0; // callee channel; application thread only
    // The threads that answer the requests a ServingHandler wants off the
    // I/O loops. Made by startListening before the listening channel exists
    // and released after it is destroyed (stopListening): written on the
    // application's thread only while no request handler runs, read on IPC
    // threads. A shared_ptr so that the client's half of the stub can hold it
    // without knowing the type.
    std::shared_ptr<ServingWorkers> servingWorkers;
    // Set by startListening to stopListening, which the destructor calls
    // through it: the serving side's code is not linked into every program
    // that links the client's.
    int (*stopServing)(DataServiceStub &) = nullptr;
    std::mutex registryLock; // guards handlerRegistry; never held across a dispatch

    // Where startListening listens unless told otherwise.
    static constexpr const char *defaultListeningAddress = "127.0.0.1";

private:
    void completeAllPending(int32 transportCode);
    // The request-end hook as read under pendingLock, called after the lock
    // is released (a null hook does nothing).
    struct RequestEndHookCall {
        RequestEndHook hook = nullptr;
        void *context = nullptr;
        void operator()(const PendingRequest &entry, int32 transportCode,
                        bool decodedCleanly) const;
    };
};

} // namespace DataServiceNamespace
