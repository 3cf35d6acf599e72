// The service object's serving side: handler registry, listening channel,
// reception of requests and sending of responses.
#include <algorithm>
#include <memory>

#include "DataServiceStub.h"

namespace DataServiceNamespace {

int DataServiceStub::registerHandler(uint32 methodId, CallbackBase *callback, void *record) {
    if (!callback)
        return 0;
    std::lock_guard<std::mutex> lock(registryLock);
    handlerRegistry.push_back(HandlerEntry{callback, record, 0, methodId});
    return 1;
}

int DataServiceStub::unregisterHandler(uint32 methodId) {
    std::lock_guard<std::mutex> lock(registryLock);
    auto found =
        std::find_if(handlerRegistry.begin(), handlerRegistry.end(),
                     [&](const HandlerEntry &entry) { return entry.methodId == methodId; });
    if (found != handlerRegistry.end())
        handlerRegistry.erase(found);
    return 1;
}

int DataServiceStub::startListening(int32 newPort) {
    return startListening(host, newPort);
}

int DataServiceStub::startListening(const cfstring &address, int32 newPort) {
    port = newPort;
    stopListening();
    // velorn_ipc reads an empty host as every address; here it means the default.
    const char *bound = address.empty() ? defaultListeningAddress : address.c_str();
    listeningChannel = callee_create_ipc_channel_tcp(bound, port);
    if (listeningChannel == 0)
        return 0;
    return callee_accept_ipc_channel(listeningChannel, &DataServiceStub::onChannelAccepted,
                                     this) == 0
               ? 1
               : 0;
}

int DataServiceStub::stopListening() {
    if (listeningChannel == 0)
        return 1;
    int result = callee_destroy_ipc_channel(listeningChannel);
    listeningChannel = 0;
    return result == 0 ? 1 : 0;
}

int DataServiceStub::listeningPort() const {
    return listeningChannel == 0 ? 0 : callee_ipc_channel_port(listeningChannel);
}

int DataServiceStub::initIpc() {
    channel = 0;
    listeningChannel = 0;
    statusRecord = nullptr;
    host = "127.0.0.1";
    port = -1;
    initial_velorn_ipc_module();
    return 1;
}

int DataServiceStub::releaseIpc() {
    if (channel != 0) {
        caller_destroy_ipc_channel(channel);
        channel = 0;
    }
    stopListening();
    release_velorn_ipc_module();
    return 1;
}

int DataServiceStub::onChannelAccepted(velorn_ipc_handle, void *context,
                                       velorn_ipc_handle connection) {
    if (!context)
        return 0;
    return callee_async_recv_ipc_request(connection, &DataServiceStub::onRequestReceived, context);
}

void DataServiceStub::onRequestReceived(velorn_ipc_handle connection, void *context,
                                        uint64_t token, uint32_t methodId, uint32_t size,
                                        const char *buffer, int32_t transportCode) {
    auto *stub = static_cast<DataServiceStub *>(context);
    ResponseBuffer response;
    if (stub) {
        bool found = false;
        HandlerEntry entry{};
        {
            std::lock_guard<std::mutex> lock(stub->registryLock);
            for (const HandlerEntry &candidate : stub->handlerRegistry)
                if (candidate.methodId == methodId) {
                    entry = candidate;
                    found = true;
                    break;
                }
        }
        if (found) {
            try {
                stub->codec.dispatchRequest(methodId, entry.callback, buffer,
                                            static_cast<int32>(size), &response, transportCode,
                                            entry.record);
            } catch (...) {
                // Out of memory, or a ServingHandler that threw: answer with
                // an empty body so the requester is not left to time out.
                response.clear();
            }
        }
    }
    callee_async_send_ipc_response(connection, nullptr, nullptr, token, methodId, response.size(),
                                   response.data(), requestTimeout);
}

} // namespace DataServiceNamespace
