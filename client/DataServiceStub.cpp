// The service object's client side: construction, connection, sending and
// the handling of replies.
#include "DataServiceStub.h"

#include <algorithm>
#include <memory>

namespace DataServiceNamespace {

DataServiceStub::DataServiceStub() : DataServiceStub(cfstring()) {}

DataServiceStub::DataServiceStub(const cfstring &definitionPath) {
    host = "127.0.0.1";
    port = -1;
    initial_velorn_ipc_module();
    codec.createTool(definitionPath);
}

DataServiceStub::~DataServiceStub() {
    if (channel != 0) {
        caller_destroy_ipc_channel(channel);
        channel = 0;
    }
    // The serving side stops itself: its workers answer what they hold while
    // the connections still stand, then the listening channel goes.
    if (stopServing)
        stopServing(*this);
    release_velorn_ipc_module();
    codec.destroyTool();
    // The lists are released with the object; pending entries are dropped
    // without completion.
}

bool DataServiceStub::connect(const cfstring &newHost, int32 newPort, ServiceError *record) {
    host = newHost;
    port = newPort;
    // Once caller_destroy_ipc_channel returns, no handler of the old channel
    // runs, so the pending list belongs to this thread until the new channel
    // is made, and statusRecord can be replaced without a race.
    if (channel != 0) {
        caller_destroy_ipc_channel(channel);
        channel = 0;
    }
    completeAllPending(transportChannelReplaced);
    channel = caller_create_ipc_channel_tcp(host.c_str(), port);
    if (record)
        statusRecord = record;
    caller_set_connection_lost_callback(channel, &DataServiceStub::onConnectionEvent, this);
    int registered =
        caller_set_on_connected_callback(channel, &DataServiceStub::onConnectionEvent, this);
    return channel != 0 && registered == 0;
}

void DataServiceStub::completeAllPending(int32 transportCode) {
    std::deque<PendingRequest> abandoned;
    RequestEndHookCall hook;
    {
        std::lock_guard<std::mutex> lock(pendingLock);
        abandoned.swap(pendingRequests);
        hook = RequestEndHookCall{requestEndHook, requestEndContext};
    }
    for (const PendingRequest &entry : abandoned) {
        try {
            codec.dispatchResponse(entry.methodId, entry.callback, nullptr, 0, transportCode,
                                   entry.responseRecord);
        } catch (...) {
            // An allocation failure for one record must not cost the others
            // their completion.
        }
        hook(entry, transportCode, false);
    }
}

void DataServiceStub::setRequestEndHook(RequestEndHook hook, void *context) {
    std::lock_guard<std::mutex> lock(pendingLock);
    requestEndHook = hook;
    requestEndContext = context;
}

void DataServiceStub::RequestEndHookCall::operator()(const PendingRequest &entry,
                                                     int32 transportCode,
                                                     bool decodedCleanly) const {
    if (hook)
        hook(context, RequestEnd{entry.responseRecord, entry.methodId, transportCode,
                                 decodedCleanly});
}

void DataServiceStub::onConnectionEvent(velorn_ipc_handle, void *context, int32_t status) {
    auto *stub = static_cast<DataServiceStub *>(context);
    if (!stub)
        return;
    CallbackIpcError()(status, stub->statusRecord);
}

int DataServiceStub::sendRequest(uint32 methodId, CallbackBase *callback, const void *request,
                                 int32 timeout, void *response) {
    EncodedRequest encoded;
    int result = codec.encodeRequest(methodId, request, &encoded);
    if (result == 0)
        return 0;
    uint64_t token = create_ipc_token();
    {
        std::lock_guard<std::mutex> lock(pendingLock);
        pendingRequests.push_back(PendingRequest{callback, response, token, methodId});
    }
    caller_async_send_ipc_request(channel, &DataServiceStub::onResponse, this, token, methodId,
                                  encoded.size(), encoded.data(), timeout);
    return result;
}

void DataServiceStub::onResponse(velorn_ipc_handle, void *context, uint64_t token,
                                 uint32_t methodId, uint32_t size, const char *buffer,
                                 int32_t transportCode) {
    auto *stub = static_cast<DataServiceStub *>(context);
    if (!stub)
        return;
    auto matches = [&](const PendingRequest &entry) {
        return entry.token == token && entry.methodId == methodId;
    };
    PendingRequest entry;
    {
        std::lock_guard<std::mutex> lock(stub->pendingLock);
        auto found =
            std::find_if(stub->pendingRequests.begin(), stub->pendingRequests.end(), matches);
        if (found == stub->pendingRequests.end())
            return;
        entry = *found;
    }
    DecodeReport report;
    try {
        stub->codec.dispatchResponse(methodId, entry.callback, buffer, size, transportCode,
                                     entry.responseRecord, &report);
    } catch (...) {
        // Decoding ran out of memory: complete the record as for an empty
        // reply rather than leave its caller waiting; if even that fails the
        // reply is dropped. Nothing may unwind into the IPC library.
        try {
            stub->codec.dispatchResponse(methodId, entry.callback, nullptr, 0, transportCode,
                                         entry.responseRecord);
        } catch (...) {
        }
    }
    RequestEndHookCall hook;
    {
        // The hook is read under the same lock as the removal: one lock per
        // reply fewer on this path, which every reply takes.
        std::lock_guard<std::mutex> lock(stub->pendingLock);
        auto found =
            std::find_if(stub->pendingRequests.begin(), stub->pendingRequests.end(), matches);
        if (found != stub->pendingRequests.end())
            stub->pendingRequests.erase(found);
        hook = RequestEndHookCall{stub->requestEndHook, stub->requestEndContext};
    }
    hook(entry, transportCode, report.clean);
}

} // namespace DataServiceNamespace
