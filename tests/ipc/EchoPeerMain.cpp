// A callee in a process of its own for the cross-process test: it prints its port, answers every
// request with the payload reversed, and exits after a request "bye", which it leaves unanswered.
#include "velorn_ipc.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <string>

namespace {

std::promise<void> leave; // set once, by the request handler; main waits on it

void onRequest(velorn_ipc_handle connection, void *, uint64_t token, uint32_t methodId,
               uint32_t size, const char *buffer, int32_t) {
    const std::string request(buffer ? buffer : "", buffer ? size : 0);
    if (request == "bye") {
        leave.set_value();
        return;
    }
    const std::string reversed(request.rbegin(), request.rend());
    callee_async_send_ipc_response(connection, nullptr, nullptr, token, methodId,
                                   static_cast<uint32_t>(reversed.size()), reversed.data(), 5000);
}

int onAccept(velorn_ipc_handle, void *, velorn_ipc_handle connection) {
    return callee_async_recv_ipc_request(connection, onRequest, nullptr);
}

} // namespace

int main() {
    if (initial_velorn_ipc_module() != VELORN_IPC_OK)
        return 1;
    const auto listener = callee_create_ipc_channel_tcp("127.0.0.1", 0);
    if (listener == 0 || callee_accept_ipc_channel(listener, onAccept, nullptr) != VELORN_IPC_OK)
        return 2;
    std::printf("%d\n", callee_ipc_channel_port(listener));
    std::fflush(stdout);
    // A test that failed before saying "bye" does not leave this process behind for long.
    const bool told = leave.get_future().wait_for(std::chrono::minutes(1)) ==
                      std::future_status::ready;
    callee_destroy_ipc_channel(listener);
    return release_velorn_ipc_module() == VELORN_IPC_OK && told ? 0 : 3;
}
