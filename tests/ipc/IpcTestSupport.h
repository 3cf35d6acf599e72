// Helpers for the velorn_ipc tests: a recorder of handler calls and an echoing callee.
#ifndef IPC_TEST_SUPPORT_H
#define IPC_TEST_SUPPORT_H

#include "velorn_ipc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace ipctest {

constexpr auto kPatience = std::chrono::seconds(20); // only a hung test waits this long
constexpr std::uint32_t kMethod = 0x34C194C4u;

// A frame as docs/ipc.md lays it out, written independently of the library.
constexpr std::size_t kHeaderSize = 28;
enum : std::uint8_t { kRequest = 1, kResponse = 2 };

inline std::string frame(std::uint8_t kind, std::uint64_t token, std::uint32_t methodId,
                         const std::string &payload, std::int32_t code = 0) {
    const std::pair<std::uint64_t, int> fields[] = {
        {0x56495043u, 4}, {1, 1},        {kind, 1}, {0, 2}, {token, 8}, {methodId, 4},
        {static_cast<std::uint32_t>(code), 4}, {payload.size(), 4}};
    std::string bytes;
    for (const auto &[value, count] : fields)
        for (int i = count - 1; i >= 0; --i)
            bytes.push_back(static_cast<char>(value >> (8 * i)));
    return bytes + payload;
}

// Initialises the module for one test and releases it afterwards.
class IpcTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(initial_velorn_ipc_module(), VELORN_IPC_OK); }
    void TearDown() override { EXPECT_EQ(release_velorn_ipc_module(), VELORN_IPC_OK); }
};

struct Message {
    velorn_ipc_handle handle;
    std::uint64_t token;
    std::uint32_t methodId;
    std::string bytes;
    bool nullBuffer;
    std::int32_t code;
};

// Records the calls of handlers registered with it as context; tests wait on what it saw. The
// library calls it on its own threads: every member is guarded by mutex_.
class Recorder {
public:
    static void onMessage(velorn_ipc_handle handle, void *context, std::uint64_t token,
                          std::uint32_t methodId, std::uint32_t size, const char *buffer,
                          std::int32_t code) {
        auto &self = *static_cast<Recorder *>(context);
        std::lock_guard<std::mutex> lock(self.mutex_);
        self.messages_.push_back({handle, token, methodId,
                                  std::string(buffer ? buffer : "", buffer ? size : 0),
                                  buffer == nullptr, code});
        self.changed_.notify_all();
    }
    static void onConnection(velorn_ipc_handle, void *context, std::int32_t status) {
        auto &self = *static_cast<Recorder *>(context);
        std::lock_guard<std::mutex> lock(self.mutex_);
        self.statuses_.push_back(status);
        self.changed_.notify_all();
    }

    // True once at least that many messages and connection events were recorded.
    bool waitFor(std::size_t messages, std::size_t events = 0) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] {
            return messages_.size() >= messages && statuses_.size() >= events;
        });
    }
    std::vector<Message> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<std::int32_t> statuses() {
        std::lock_guard<std::mutex> lock(mutex_);
        return statuses_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
    std::vector<std::int32_t> statuses_;
};

// A listening channel on 127.0.0.1 that answers every request with its own payload, or, when
// silent, keeps the requests for the test to answer. Handlers run on the library's threads.
class EchoCallee {
public:
    explicit EchoCallee(bool silent = false, int port = 0, std::int32_t responseTimeoutMs = 5000)
        : silent_(silent), responseTimeoutMs_(responseTimeoutMs),
          handle_(callee_create_ipc_channel_tcp("127.0.0.1", port)) {
        callee_accept_ipc_channel(handle_, &EchoCallee::onAccept, this);
    }
    ~EchoCallee() { callee_destroy_ipc_channel(handle_); }
    EchoCallee(const EchoCallee &) = delete;
    EchoCallee &operator=(const EchoCallee &) = delete;

    velorn_ipc_handle handle() const { return handle_; }
    int port() const { return callee_ipc_channel_port(handle_); }
    Recorder &requests() { return requests_; }

private:
    static int onAccept(velorn_ipc_handle, void *context, velorn_ipc_handle connection) {
        return callee_async_recv_ipc_request(connection, &EchoCallee::onRequest, context);
    }
    static void onRequest(velorn_ipc_handle connection, void *context, std::uint64_t token,
                          std::uint32_t methodId, std::uint32_t size, const char *buffer,
                          std::int32_t code) {
        auto &self = *static_cast<EchoCallee *>(context);
        if (!self.silent_)
            callee_async_send_ipc_response(connection, nullptr, nullptr, token, methodId, size,
                                           buffer, self.responseTimeoutMs_);
        Recorder::onMessage(connection, &self.requests_, token, methodId, size, buffer, code);
    }

    const bool silent_;
    const std::int32_t responseTimeoutMs_;
    const velorn_ipc_handle handle_;
    Recorder requests_;
};

// Registers a recorder as both connection handlers of a caller channel.
inline void watch(velorn_ipc_handle channel, Recorder &events) {
    caller_set_on_connected_callback(channel, &Recorder::onConnection, &events);
    caller_set_connection_lost_callback(channel, &Recorder::onConnection, &events);
}

// A caller channel to 127.0.0.1:port that reports its connection events to a recorder.
inline velorn_ipc_handle connectCaller(int port, Recorder *events = nullptr) {
    const auto channel = caller_create_ipc_channel_tcp("127.0.0.1", port);
    if (events != nullptr)
        watch(channel, *events);
    return channel;
}

inline int sendText(velorn_ipc_handle channel, Recorder &replies, std::uint64_t token,
                    const std::string &text, std::int32_t timeoutMs = 5000) {
    return caller_async_send_ipc_request(channel, &Recorder::onMessage, &replies, token, kMethod,
                                         static_cast<std::uint32_t>(text.size()), text.data(),
                                         timeoutMs);
}

inline int respond(velorn_ipc_handle connection, std::uint64_t token, const std::string &text,
                   std::int32_t timeoutMs = 5000) {
    return callee_async_send_ipc_response(connection, nullptr, nullptr, token, kMethod,
                                          static_cast<std::uint32_t>(text.size()), text.data(),
                                          timeoutMs);
}

} // namespace ipctest

#endif
