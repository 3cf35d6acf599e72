// The service object's serving side: handler registry, listening channel,
// reception of requests and sending of responses.
#include <algorithm>
#include <chrono>
#include <memory>
#include <vector>

#include "DataServiceStub.h"
#include "ServingHandler.h"
#include "ServingWorkers.h"

namespace DataServiceNamespace {

namespace {

// Decodes, serves and encodes one request with entry's handler (none: an
// empty body) and sends the answer. Never throws.
void answerRequest(DataServiceStub &stub, velorn_ipc_handle connection, uint64_t token,
                   uint32_t methodId, const HandlerEntry *entry, const char *buffer,
                   uint32_t size, int32_t transportCode) {
    ResponseBuffer response;
    if (entry) {
        try {
            stub.codec.dispatchRequest(methodId, entry->callback, buffer,
                                       static_cast<int32>(size), &response, transportCode,
                                       entry->record);
        } catch (...) {
            // Out of memory, or a ServingHandler that threw: answer with
            // an empty body so the requester is not left to time out.
            response.clear();
        }
    }
    callee_async_send_ipc_response(connection, nullptr, nullptr, token, methodId, response.size(),
                                   response.data(), requestTimeout);
}

// Stands in for a handler whose request the workers cannot serve in time
// (queue full, or waited too long): its busy answer takes the place of
// serve, and the rest is the handler's own.
class BusyAnswer : public ServingHandler {
public:
    explicit BusyAnswer(ServingHandler &handler) : handler_(handler) {}
    void serve(uint32 methodId, const void *request, void *response, void *) override {
        handler_.answerBusy(methodId, request, response);
    }
    std::size_t answerLimit() const override { return handler_.answerLimit(); }
    void answerTooLarge(uint32 methodId, void *response, std::size_t encodedSize) override {
        handler_.answerTooLarge(methodId, response, encodedSize);
    }
    void answerEncoded(uint32 methodId, std::size_t encodedSize) override {
        handler_.answerEncoded(methodId, encodedSize);
    }

private:
    ServingHandler &handler_;
};

// A request for the workers: served by entry's handler, or, when it came too
// late or found no room, answered with the handler's busy answer.
void answerOnWorker(DataServiceStub &stub, velorn_ipc_handle connection, uint64_t token,
                    uint32_t methodId, const HandlerEntry &entry, ServingHandler *handler,
                    bool busy, const char *buffer, uint32_t size, int32_t transportCode) {
    if (!busy) {
        answerRequest(stub, connection, token, methodId, &entry, buffer, size, transportCode);
        return;
    }
    BusyAnswer busyAnswer(*handler);
    const HandlerEntry busyEntry{&busyAnswer, entry.record, entry.token, entry.methodId};
    answerRequest(stub, connection, token, methodId, &busyEntry, buffer, size, transportCode);
}

int stopServing(DataServiceStub &stub) { return stub.stopListening(); }

} // namespace

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
    // Before the channel exists, so that every request handler sees it.
    // A late request has waited half the requester's timeout: answering
    // it busy at once beats a real answer that may come too late.
    servingWorkers = std::make_shared<ServingWorkers>(
        ServingWorkers::defaultThreads, ServingWorkers::defaultCapacity,
        std::chrono::milliseconds(requestTimeout / 2));
    stopServing = &DataServiceNamespace::stopServing;
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
    int result = 0;
    if (servingWorkers)
        servingWorkers->finish(); // answered while the connections still stand
    if (listeningChannel != 0) {
        result = callee_destroy_ipc_channel(listeningChannel);
        listeningChannel = 0;
    }
    // No request handler runs any more, so none can still be handing work over.
    servingWorkers.reset();
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
    if (!stub) {
        callee_async_send_ipc_response(connection, nullptr, nullptr, token, methodId, 0, nullptr,
                                       requestTimeout);
        return;
    }
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
    auto *handler = found ? dynamic_cast<ServingHandler *>(entry.callback) : nullptr;
    if (handler && stub->servingWorkers && handler->servesOnWorker(methodId)) {
        bool queued = false;
        try {
            // The buffer is the library's only until this handler returns.
            queued = stub->servingWorkers->submit(
                [stub, connection, token, methodId, entry, handler, transportCode,
                 request = std::vector<char>(buffer, buffer + size)](bool late) {
                    answerOnWorker(*stub, connection, token, methodId, entry, handler, late,
                                   request.data(), static_cast<uint32_t>(request.size()),
                                   transportCode);
                });
        } catch (...) {
            // No memory for the copy or no thread: answered as busy below.
        }
        if (!queued)
            answerOnWorker(*stub, connection, token, methodId, entry, handler, true, buffer, size,
                           transportCode);
        return;
    }
    answerRequest(*stub, connection, token, methodId, found ? &entry : nullptr, buffer, size,
                  transportCode);
}

} // namespace DataServiceNamespace
