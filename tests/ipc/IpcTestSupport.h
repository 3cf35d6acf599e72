// Helpers for the velorn_ipc tests: a recorder of handler calls, an echoing callee, raw frames.
#ifndef IPC_TEST_SUPPORT_H
#define IPC_TEST_SUPPORT_H

#include "velorn_ipc.h"

#include <asio.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace ipctest {

constexpr auto kPatience = std::chrono::seconds(20); // only a hung test waits this long

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
        self.messages_.push_back(
            {handle, token, methodId, std::string(buffer ? buffer : "", buffer ? size : 0),
             buffer == nullptr, code});
        self.changed_.notify_all();
    }
    static void onConnection(velorn_ipc_handle handle, void *context, std::int32_t status) {
        auto &self = *static_cast<Recorder *>(context);
        std::lock_guard<std::mutex> lock(self.mutex_);
        self.events_.push_back({handle, status});
        self.changed_.notify_all();
    }

    bool waitForMessages(std::size_t count) {
        return waitUntil([&] { return messages_.size() >= count; });
    }
    bool waitForEvents(std::size_t count) {
        return waitUntil([&] { return events_.size() >= count; });
    }
    std::vector<Message> messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::vector<std::int32_t> statuses() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::int32_t> statuses;
        for (const auto &event : events_)
            statuses.push_back(event.second);
        return statuses;
    }

private:
    template <typename Predicate> bool waitUntil(Predicate predicate) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience, predicate);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Message> messages_;
    std::vector<std::pair<velorn_ipc_handle, std::int32_t>> events_;
};

// A listening channel on 127.0.0.1:0 that answers every request with its own payload, or, when
// silent, keeps the requests for the test to answer. Handlers run on the library's threads.
class EchoCallee {
public:
    explicit EchoCallee(bool silent = false, int port = 0) : silent_(silent) {
        handle_ = callee_create_ipc_channel_tcp("127.0.0.1", port);
        if (handle_ != 0)
            callee_accept_ipc_channel(handle_, &EchoCallee::onAccept, this);
    }
    ~EchoCallee() { close(); }
    EchoCallee(const EchoCallee &) = delete;
    EchoCallee &operator=(const EchoCallee &) = delete;

    velorn_ipc_handle handle() const { return handle_; }
    int port() const { return callee_ipc_channel_port(handle_); }
    void close() {
        if (handle_ != 0)
            callee_destroy_ipc_channel(handle_);
        handle_ = 0;
    }
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
                                           buffer, 5000);
        Recorder::onMessage(connection, &self.requests_, token, methodId, size, buffer, code);
    }

    const bool silent_;
    velorn_ipc_handle handle_ = 0;
    Recorder requests_;
};

// The frame header as docs/ipc.md describes it, written independently of the library.
constexpr std::size_t kHeaderSize = 28;
enum : std::uint8_t { kRequest = 1, kResponse = 2 };

inline std::string frame(std::uint8_t kind, std::uint64_t token, std::uint32_t methodId,
                         const std::string &payload, std::uint32_t magic = 0x56495043u,
                         std::uint32_t announcedSize = UINT32_MAX, std::int32_t code = 0) {
    const std::uint32_t size = announcedSize == UINT32_MAX
                                   ? static_cast<std::uint32_t>(payload.size())
                                   : announcedSize;
    std::string bytes;
    auto put = [&](std::uint64_t value, int count) {
        for (int i = count - 1; i >= 0; --i)
            bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xffu));
    };
    put(magic, 4);
    put(1, 1);
    put(kind, 1);
    put(0, 2);
    put(token, 8);
    put(methodId, 4);
    put(static_cast<std::uint32_t>(code), 4);
    put(size, 4);
    return bytes + payload;
}

struct RawFrame {
    std::uint8_t kind;
    std::uint64_t token;
    std::uint32_t methodId;
    std::int32_t code;
    std::string payload;
};

// Reads one frame from a blocking socket; throws asio::system_error when the peer closes.
inline RawFrame readFrame(asio::ip::tcp::socket &socket) {
    unsigned char header[kHeaderSize];
    asio::read(socket, asio::buffer(header));
    auto get = [&](int offset, int count) {
        std::uint64_t value = 0;
        for (int i = 0; i < count; ++i)
            value = (value << 8) | header[offset + i];
        return value;
    };
    EXPECT_EQ(get(0, 4), 0x56495043u);
    EXPECT_EQ(get(4, 1), 1u);
    RawFrame result{static_cast<std::uint8_t>(get(5, 1)), get(8, 8),
                    static_cast<std::uint32_t>(get(16, 4)),
                    static_cast<std::int32_t>(static_cast<std::uint32_t>(get(20, 4))),
                    std::string(get(24, 4), '\0')};
    asio::read(socket, asio::buffer(&result.payload[0], result.payload.size()));
    return result;
}

// True when the peer closed the socket (EOF or reset) before sending anything more.
inline bool peerCloses(asio::ip::tcp::socket &socket) {
    char byte;
    asio::error_code error;
    socket.read_some(asio::buffer(&byte, 1), error);
    return error == asio::error::eof || error == asio::error::connection_reset;
}

// A plain TCP listener on 127.0.0.1:0, driven synchronously by the test.
class RawListener {
public:
    RawListener() : acceptor_(context_, {asio::ip::make_address("127.0.0.1"), 0}) {}
    int port() const { return acceptor_.local_endpoint().port(); }
    asio::ip::tcp::socket accept() { return acceptor_.accept(); }
    void close() { acceptor_.close(); }

private:
    asio::io_context context_;
    asio::ip::tcp::acceptor acceptor_;
};

// A plain TCP connection to 127.0.0.1:port, driven synchronously by the test.
class RawClient {
public:
    explicit RawClient(int port) : socket_(context_) {
        socket_.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    }
    asio::ip::tcp::socket &socket() { return socket_; }

private:
    asio::io_context context_;
    asio::ip::tcp::socket socket_;
};

// A caller channel to 127.0.0.1:port that reports its connection events to a recorder.
inline velorn_ipc_handle connectCaller(int port, Recorder *events = nullptr) {
    const auto channel = caller_create_ipc_channel_tcp("127.0.0.1", port);
    if (events != nullptr) {
        caller_set_on_connected_callback(channel, &Recorder::onConnection, events);
        caller_set_connection_lost_callback(channel, &Recorder::onConnection, events);
    }
    return channel;
}

inline int sendText(velorn_ipc_handle channel, Recorder &replies, std::uint64_t token,
                    std::uint32_t methodId, const std::string &text, std::int32_t timeoutMs = 5000) {
    return caller_async_send_ipc_request(channel, &Recorder::onMessage, &replies, token, methodId,
                                         static_cast<std::uint32_t>(text.size()), text.data(),
                                         timeoutMs);
}

} // namespace ipctest

#endif
