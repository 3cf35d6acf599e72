// Handler objects of the serving side that produce real answers: they fill
// the response record from the decoded request before it is encoded.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

#include "ActionTable.h"
#include "Callbacks.h"
#include "ServiceIpc.h"

namespace DataServiceNamespace {

// A handler object that serve() is called on for every request dispatched to
// it, between decoding the request and encoding the response. Any other
// CallbackBase registered for an action makes the serving side answer with
// the action's default response.
class ServingHandler : public CallbackBase {
public:
    void invoke() override {}

    // request and response are records of the request and response types of
    // the action with methodId; record is the one registered with the
    // handler. The response record belongs to the dispatcher: an image stored
    // in image_data must be a new[] array, which the dispatcher releases after
    // encoding. Runs on an IPC thread (or a worker, see servesOnWorker),
    // concurrently with other requests and without any lock of the stub
    // held; an exception it throws is caught by the serving side, which then
    // answers with an empty body.
    virtual void serve(uint32 methodId, const void *request, void *response, void *record) = 0;

    // The largest encoded answer this handler sends; velorn_ipc refuses a
    // frame above VELORN_IPC_MAX_PAYLOAD, so the requester would only see its
    // timeout. An answer that encodes to more is thrown away and replaced by
    // a fresh default response that answerTooLarge fills (an error, as a
    // rule), which is encoded instead. Called concurrently from IPC threads.
    virtual std::size_t answerLimit() const { return VELORN_IPC_MAX_PAYLOAD; }
    // response is a default record of the action's response type;
    // encodedSize is the size of the answer that was refused. The default
    // leaves the response as it is.
    virtual void answerTooLarge(uint32 methodId, void *response, std::size_t encodedSize) {
        (void)methodId, (void)response, (void)encodedSize;
    }
    // True for an action slow enough to hold up the other connections of its
    // I/O loop (a password hash): the serving side then copies the request
    // and has one of its worker threads decode, serve, encode and send it
    // (ServingWorkers.h); serve, answerTooLarge and answerEncoded run there.
    // Called on IO threads, concurrently; the default keeps every action on
    // the I/O thread that received it.
    virtual bool servesOnWorker(uint32 methodId) const {
        (void)methodId;
        return false;
    }
    // The answer to a request for the workers that found their queue full:
    // response is a default record of the action's response type, request
    // the decoded request. Runs on the IO thread instead of serve, followed
    // by answerEncoded. The default leaves the default response.
    virtual void answerBusy(uint32 methodId, const void *request, void *response) {
        (void)methodId, (void)request, (void)response;
    }
    // Called once the answer that will be sent is encoded, with its size;
    // on the thread that ran serve, right after it (for logging). Not
    // called when the dispatch failed with an exception.
    virtual void answerEncoded(uint32 methodId, std::size_t encodedSize) {
        (void)methodId, (void)encodedSize;
    }
};

// A ServingHandler for one action, given as its callback class, from a
// function of the typed records:
//   ActionServingHandler<RecvResponseCallbackdevices> handler(
//       [](const DeviceReqData &request, DeviceResData &response) { ... });
// Requests with another method id are left with the default response.
template <class Callback> class ActionServingHandler : public ServingHandler {
public:
    using Request = typename Action<Callback>::Request;
    using Response = typename Action<Callback>::Response;
    using Fill = std::function<void(const Request &, Response &)>;

    explicit ActionServingHandler(Fill fill) : fill_(std::move(fill)) {}

    void serve(uint32 methodId, const void *request, void *response, void *) override {
        if (methodId == Action<Callback>::methodId && fill_)
            fill_(*static_cast<const Request *>(request), *static_cast<Response *>(response));
    }

private:
    const Fill fill_; // set once; called concurrently from IPC threads
};

} // namespace DataServiceNamespace
