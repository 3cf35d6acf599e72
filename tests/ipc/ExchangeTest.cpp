// Requests and replies between a caller channel and a callee channel over loopback.
#include "IpcTestSupport.h"

#include <atomic>
#include <map>
#include <thread>

using namespace ipctest;

namespace {

constexpr std::uint32_t kMethod = 0x34C194C4u;

class Exchange : public IpcTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(Exchange, CalleeAnswersUnderTheRequestTokenAndMethodWithTheBytesItChose) {
    EchoCallee callee;
    ASSERT_NE(callee.handle(), 0u);
    Recorder replies;
    const auto channel = connectCaller(callee.port());
    ASSERT_NE(channel, 0u);
    std::string payload(GetParam(), '\0');
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7 + 1);
    const auto token = create_ipc_token();

    ASSERT_EQ(sendText(channel, replies, token, kMethod, payload), VELORN_IPC_OK);

    ASSERT_TRUE(replies.waitForMessages(1));
    const auto reply = replies.messages().at(0);
    EXPECT_EQ(reply.handle, channel);
    EXPECT_EQ(reply.token, token);
    EXPECT_EQ(reply.methodId, kMethod);
    EXPECT_EQ(reply.code, VELORN_IPC_OK);
    EXPECT_EQ(reply.nullBuffer, payload.empty());
    EXPECT_TRUE(reply.bytes == payload);
    const auto requests = callee.requests().messages();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].token, token);
    EXPECT_EQ(requests[0].code, VELORN_IPC_OK);
    EXPECT_TRUE(requests[0].bytes == payload);
    EXPECT_EQ(caller_destroy_ipc_channel(channel), VELORN_IPC_OK);
}

// Empty, small, and larger than one read of the library (64 KiB) and than a socket buffer.
INSTANTIATE_TEST_SUITE_P(PayloadSizes, Exchange, ::testing::Values(0u, 1u, 70000u, 3u << 20),
                         [](const auto &info) { return "Bytes" + std::to_string(info.param); });

using CallerChannel = IpcTest;

// Counts overlapping calls: handlers of one channel must never run at the same time.
struct SerialRecorder {
    Recorder recorder;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    static void onMessage(velorn_ipc_handle handle, void *context, std::uint64_t token,
                          std::uint32_t methodId, std::uint32_t size, const char *buffer,
                          std::int32_t code) {
        auto &self = *static_cast<SerialRecorder *>(context);
        if (self.inside.fetch_add(1) != 0)
            ++self.overlaps;
        Recorder::onMessage(handle, &self.recorder, token, methodId, size, buffer, code);
        self.inside.fetch_sub(1);
    }
};

TEST_F(CallerChannel, AnswersTenThousandRequestsInFlightEachUnderItsOwnTokenExactlyOnce) {
    constexpr std::size_t kCount = 10000;
    EchoCallee callee(/*silent=*/true);
    SerialRecorder replies;
    const auto channel = connectCaller(callee.port());
    std::map<std::uint64_t, std::string> sent;
    for (std::size_t i = 0; i < kCount; ++i) {
        const auto token = create_ipc_token();
        sent[token] = "request " + std::to_string(token);
        ASSERT_EQ(caller_async_send_ipc_request(channel, &SerialRecorder::onMessage, &replies,
                                                token, kMethod,
                                                static_cast<std::uint32_t>(sent[token].size()),
                                                sent[token].data(), 60000),
                  VELORN_IPC_OK);
    }
    // All of them reach the callee before any is answered, then the answers go back reversed.
    ASSERT_TRUE(callee.requests().waitForMessages(kCount));
    const auto requests = callee.requests().messages();
    for (auto it = requests.rbegin(); it != requests.rend(); ++it)
        ASSERT_EQ(callee_async_send_ipc_response(it->handle, nullptr, nullptr, it->token,
                                                 it->methodId,
                                                 static_cast<std::uint32_t>(it->bytes.size()),
                                                 it->bytes.data(), 60000),
                  VELORN_IPC_OK);

    ASSERT_TRUE(replies.recorder.waitForMessages(kCount));
    std::map<std::uint64_t, int> calls;
    for (const auto &reply : replies.recorder.messages()) {
        ++calls[reply.token];
        EXPECT_EQ(reply.code, VELORN_IPC_OK);
        EXPECT_EQ(reply.bytes, sent[reply.token]);
    }
    EXPECT_EQ(calls.size(), kCount);
    for (const auto &entry : calls)
        EXPECT_EQ(entry.second, 1) << "token " << entry.first;
    EXPECT_EQ(replies.overlaps.load(), 0);
    caller_destroy_ipc_channel(channel);
}

TEST_F(CallerChannel, ReportsTimeoutWhenCalleeNeverAnswersAndDropsTheLateReply) {
    EchoCallee callee(/*silent=*/true);
    Recorder replies;
    const auto channel = connectCaller(callee.port());

    ASSERT_EQ(sendText(channel, replies, 41, kMethod, "slow", /*timeoutMs=*/150), VELORN_IPC_OK);

    ASSERT_TRUE(replies.waitForMessages(1));
    const auto timedOut = replies.messages().at(0);
    EXPECT_EQ(timedOut.code, VELORN_IPC_ETIMEDOUT);
    EXPECT_EQ(timedOut.token, 41u);
    EXPECT_EQ(timedOut.methodId, kMethod);
    EXPECT_TRUE(timedOut.nullBuffer);
    EXPECT_EQ(timedOut.bytes, "");

    // The late reply travels before the next one on the same connection, so once the next one
    // is seen the late one has been read, and dropped.
    ASSERT_TRUE(callee.requests().waitForMessages(1));
    const auto connection = callee.requests().messages().at(0).handle;
    ASSERT_EQ(callee_async_send_ipc_response(connection, nullptr, nullptr, 41, kMethod, 4, "late",
                                             5000),
              VELORN_IPC_OK);
    ASSERT_EQ(sendText(channel, replies, 42, kMethod, "next"), VELORN_IPC_OK);
    ASSERT_TRUE(callee.requests().waitForMessages(2));
    ASSERT_EQ(callee_async_send_ipc_response(connection, nullptr, nullptr, 42, kMethod, 4, "next",
                                             5000),
              VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(2));
    const auto messages = replies.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].token, 42u);
    EXPECT_EQ(messages[1].bytes, "next");
    caller_destroy_ipc_channel(channel);
}

TEST_F(CallerChannel, SendsTheDocumentedFrameAndDropsRepliesThatMatchNoRequest) {
    RawListener peer;
    Recorder replies;
    const auto channel = connectCaller(peer.port());
    ASSERT_EQ(sendText(channel, replies, 0x0102030405060708u, kMethod, "ask"), VELORN_IPC_OK);
    auto socket = peer.accept();

    const auto request = readFrame(socket);
    EXPECT_EQ(request.kind, kRequest);
    EXPECT_EQ(request.token, 0x0102030405060708u);
    EXPECT_EQ(request.methodId, kMethod);
    EXPECT_EQ(request.code, 0);
    EXPECT_EQ(request.payload, "ask");

    asio::write(socket, asio::buffer(frame(kResponse, 999, kMethod, "unknown token")));
    asio::write(socket, asio::buffer(frame(kResponse, request.token, kMethod + 1, "other method")));
    asio::write(socket, asio::buffer(frame(kResponse, request.token, kMethod, "answer")));

    ASSERT_TRUE(replies.waitForMessages(1));
    ASSERT_EQ(sendText(channel, replies, 7, kMethod, "second"), VELORN_IPC_OK);
    const auto second = readFrame(socket);
    asio::write(socket, asio::buffer(frame(kResponse, second.token, kMethod, "", 0x56495043u,
                                           UINT32_MAX, VELORN_IPC_EADDR)));
    ASSERT_TRUE(replies.waitForMessages(2));
    const auto messages = replies.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].bytes, "answer");
    EXPECT_EQ(messages[0].code, VELORN_IPC_OK);
    // A reply that carries a nonzero code reaches the handler as that code, without bytes.
    EXPECT_EQ(messages[1].token, 7u);
    EXPECT_EQ(messages[1].code, VELORN_IPC_EADDR);
    EXPECT_TRUE(messages[1].nullBuffer);
    caller_destroy_ipc_channel(channel);
}

using CalleeChannel = IpcTest;

TEST_F(CalleeChannel, CallsTheAcceptHandlerOncePerConnectionAndAnswersOnEach) {
    EchoCallee callee;
    Recorder replies[3];
    velorn_ipc_handle channels[3];
    for (int i = 0; i < 3; ++i) {
        channels[i] = connectCaller(callee.port());
        ASSERT_EQ(sendText(channels[i], replies[i], 100 + i, kMethod, std::to_string(i)),
                  VELORN_IPC_OK);
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(replies[i].waitForMessages(1));
        EXPECT_EQ(replies[i].messages().at(0).bytes, std::to_string(i));
    }
    const auto requests = callee.requests().messages();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[0].handle, requests[1].handle);
    EXPECT_NE(requests[1].handle, requests[2].handle);
    EXPECT_NE(requests[0].handle, requests[2].handle);
    for (auto channel : channels)
        caller_destroy_ipc_channel(channel);
}

TEST_F(CalleeChannel, AnswersARawRequestWithTheDocumentedFrame) {
    EchoCallee callee;
    RawClient client(callee.port());
    asio::write(client.socket(), asio::buffer(frame(kRequest, 0xA1B2C3D4E5F60718u, 77, "hello")));
    const auto reply = readFrame(client.socket());
    EXPECT_EQ(reply.kind, kResponse);
    EXPECT_EQ(reply.token, 0xA1B2C3D4E5F60718u);
    EXPECT_EQ(reply.methodId, 77u);
    EXPECT_EQ(reply.code, 0);
    EXPECT_EQ(reply.payload, "hello");
}

TEST_F(CalleeChannel, ClosesAConnectionWhoseResponsesAreNotReadWithinTheirTimeout) {
    EchoCallee callee(/*silent=*/true);
    RawClient client(callee.port());
    asio::write(client.socket(), asio::buffer(frame(kRequest, 1, 2, "")));
    ASSERT_TRUE(callee.requests().waitForMessages(1));
    const auto connection = callee.requests().messages().at(0).handle;
    // More than the loopback socket buffers hold, while the client reads nothing; on a slow
    // build the connection may close before the last of them is queued.
    const std::string big(4u << 20, 'x');
    for (int i = 0; i < 8; ++i)
        if (callee_async_send_ipc_response(connection, nullptr, nullptr, 1, 2,
                                           static_cast<std::uint32_t>(big.size()), big.data(),
                                           200) != VELORN_IPC_OK)
            break;
    // The closed connection leaves the registry; poll for that with a deadline.
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    const velorn_ipc_message_handler ignore = [](velorn_ipc_handle, void *, std::uint64_t,
                                                 std::uint32_t, std::uint32_t, const char *,
                                                 std::int32_t) {};
    while (callee_async_recv_ipc_request(connection, ignore, nullptr) ==
               VELORN_IPC_OK &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(callee_async_send_ipc_response(connection, nullptr, nullptr, 1, 2, 0, nullptr, 0),
              VELORN_IPC_EINVAL);
}

} // namespace
