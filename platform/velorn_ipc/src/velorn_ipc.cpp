// The C functions of velorn_ipc.h: argument checks, handle look-up, and no exception let through.
#include "velorn_ipc.h"

#include "CalleeChannel.h"
#include "CallerChannel.h"
#include "Runtime.h"

#include <atomic>
#include <mutex>
#include <new>

namespace velorn {
namespace {

std::mutex g_moduleMutex;
int g_moduleCount = 0;               /* guarded by g_moduleMutex */
std::shared_ptr<Runtime> g_runtime;  /* guarded by g_moduleMutex */
std::atomic<std::uint64_t> g_nextToken{0};

template <typename T> std::shared_ptr<T> find(velorn_ipc_handle handle, Object::Kind kind) {
    auto runtime = currentRuntime();
    if (!runtime || handle == 0)
        return nullptr;
    auto object = runtime->registry().find(handle);
    if (!object || object->kind() != kind)
        return nullptr;
    return std::static_pointer_cast<T>(object);
}

// Runs body, turning an allocation failure into fallback and any other exception too.
template <typename Result, typename Body> Result guarded(Result fallback, Body &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return fallback;
    }
}

} // namespace

std::shared_ptr<Runtime> currentRuntime() {
    std::lock_guard<std::mutex> lock(g_moduleMutex);
    return g_runtime;
}

} // namespace velorn

using namespace velorn;

int initial_velorn_ipc_module(void) {
    return guarded(VELORN_IPC_ENOMEM, [] {
        std::lock_guard<std::mutex> lock(g_moduleMutex);
        if (g_moduleCount == 0)
            g_runtime = std::make_shared<Runtime>();
        ++g_moduleCount;
        return VELORN_IPC_OK;
    });
}

int release_velorn_ipc_module(void) {
    return guarded(VELORN_IPC_EINVAL, [] {
        std::shared_ptr<Runtime> runtime;
        {
            std::lock_guard<std::mutex> lock(g_moduleMutex);
            if (g_moduleCount == 0)
                return VELORN_IPC_EINVAL;
            if (g_moduleCount == 1 && Runtime::onIoThread())
                return VELORN_IPC_EINVAL; // it would have to join its own thread
            if (--g_moduleCount > 0)
                return VELORN_IPC_OK;
            runtime = std::move(g_runtime);
        }
        runtime->shutdown();
        return VELORN_IPC_OK;
    });
}

uint64_t create_ipc_token(void) {
    std::uint64_t token = g_nextToken.fetch_add(1) + 1;
    while (token == 0) // after 2^64 tokens
        token = g_nextToken.fetch_add(1) + 1;
    return token;
}

velorn_ipc_handle caller_create_ipc_channel_tcp(const char *host, int port) {
    return guarded<velorn_ipc_handle>(0, [&]() -> velorn_ipc_handle {
        auto runtime = currentRuntime();
        if (!runtime || host == nullptr || *host == '\0' || port < 1 || port > 65535)
            return 0;
        auto channel = std::make_shared<CallerChannel>(*runtime, host, port);
        if (!runtime->registry().add(channel))
            return 0;
        channel->startConnecting();
        return channel->handle();
    });
}

static int setConnectionHandler(velorn_ipc_handle handle, bool connected,
                                velorn_ipc_connection_handler handler, void *context) {
    return guarded(VELORN_IPC_ENOMEM, [&] {
        auto channel = find<CallerChannel>(handle, Object::Kind::Caller);
        if (!channel)
            return VELORN_IPC_EINVAL;
        channel->setConnectionHandler(connected, handler, context);
        return VELORN_IPC_OK;
    });
}

int caller_set_connection_lost_callback(velorn_ipc_handle channel,
                                        velorn_ipc_connection_handler handler, void *context) {
    return setConnectionHandler(channel, false, handler, context);
}

int caller_set_on_connected_callback(velorn_ipc_handle channel,
                                     velorn_ipc_connection_handler handler, void *context) {
    return setConnectionHandler(channel, true, handler, context);
}

int caller_async_send_ipc_request(velorn_ipc_handle handle, velorn_ipc_message_handler handler,
                                  void *context, uint64_t token, uint32_t method_id,
                                  uint32_t size, const char *buffer, int32_t timeout_ms) {
    return guarded(VELORN_IPC_ENOMEM, [&] {
        auto channel = find<CallerChannel>(handle, Object::Kind::Caller);
        if (!channel || handler == nullptr || (buffer == nullptr && size > 0))
            return VELORN_IPC_EINVAL;
        if (size > VELORN_IPC_MAX_PAYLOAD)
            channel->refuse(handler, context, token, method_id, VELORN_IPC_ETOOBIG);
        else
            channel->send(handler, context, token, method_id, size, buffer, timeout_ms);
        return VELORN_IPC_OK;
    });
}

int caller_destroy_ipc_channel(velorn_ipc_handle handle) {
    return guarded(VELORN_IPC_EINVAL, [&] {
        auto runtime = currentRuntime();
        if (!runtime || handle == 0)
            return VELORN_IPC_EINVAL;
        auto object = runtime->registry().find(handle);
        if (!object || object->kind() != Object::Kind::Caller)
            return VELORN_IPC_EINVAL;
        if (!runtime->registry().take(handle))
            return VELORN_IPC_EINVAL; // destroyed by another thread meanwhile
        object->destroy();
        return VELORN_IPC_OK;
    });
}

velorn_ipc_handle callee_create_ipc_channel_tcp(const char *host, int port) {
    return guarded<velorn_ipc_handle>(0, [&]() -> velorn_ipc_handle {
        auto runtime = currentRuntime();
        if (!runtime || host == nullptr || port < 0 || port > 65535)
            return 0;
        auto listener = std::make_shared<Listener>(*runtime);
        if (listener->bind(host, port))
            return 0;
        if (!runtime->registry().add(listener))
            return 0;
        return listener->handle();
    });
}

int callee_accept_ipc_channel(velorn_ipc_handle handle, velorn_ipc_accept_handler handler,
                              void *context) {
    return guarded(VELORN_IPC_ENOMEM, [&] {
        auto listener = find<Listener>(handle, Object::Kind::Listener);
        if (!listener || handler == nullptr)
            return VELORN_IPC_EINVAL;
        listener->accept(handler, context);
        return VELORN_IPC_OK;
    });
}

int callee_async_recv_ipc_request(velorn_ipc_handle handle, velorn_ipc_message_handler handler,
                                  void *context) {
    return guarded(VELORN_IPC_ENOMEM, [&] {
        auto connection = find<Connection>(handle, Object::Kind::Connection);
        if (!connection || handler == nullptr)
            return VELORN_IPC_EINVAL;
        connection->receive(handler, context);
        return VELORN_IPC_OK;
    });
}

int callee_async_send_ipc_response(velorn_ipc_handle handle, velorn_ipc_message_handler,
                                   void *, uint64_t token, uint32_t method_id, uint32_t size,
                                   const char *buffer, int32_t timeout_ms) {
    return guarded(VELORN_IPC_ENOMEM, [&] {
        auto connection = find<Connection>(handle, Object::Kind::Connection);
        if (!connection || (buffer == nullptr && size > 0))
            return VELORN_IPC_EINVAL;
        if (size > VELORN_IPC_MAX_PAYLOAD)
            return VELORN_IPC_ETOOBIG;
        return connection->respond(token, method_id, size, buffer, timeout_ms)
                   ? VELORN_IPC_OK
                   : VELORN_IPC_EINVAL;
    });
}

int callee_drain_ipc_channel(velorn_ipc_handle handle, int32_t timeout_ms) {
    return guarded(VELORN_IPC_ENOMEM, [&] {
        auto listener = find<Listener>(handle, Object::Kind::Listener);
        if (!listener || Runtime::onIoThread())
            return VELORN_IPC_EINVAL; // a handler waiting for its own thread's work
        return listener->drain(timeout_ms);
    });
}

int callee_destroy_ipc_channel(velorn_ipc_handle handle) {
    return guarded(VELORN_IPC_EINVAL, [&] {
        auto runtime = currentRuntime();
        if (!runtime || handle == 0)
            return VELORN_IPC_EINVAL;
        auto object = runtime->registry().find(handle);
        if (!object || object->kind() == Object::Kind::Caller)
            return VELORN_IPC_EINVAL;
        if (!runtime->registry().take(handle))
            return VELORN_IPC_EINVAL;
        object->destroy();
        return VELORN_IPC_OK;
    });
}

int callee_ipc_channel_port(velorn_ipc_handle handle) {
    return guarded(0, [&] {
        auto listener = find<Listener>(handle, Object::Kind::Listener);
        return listener ? listener->port() : 0;
    });
}
