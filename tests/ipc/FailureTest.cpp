// Raw-socket peers that break off, break the frame format or stop reading; lost connections.
#include "IpcTestSupport.h"

#include <asio.hpp>

#include <map>
#include <memory>
#include <numeric>
#include <thread>

using namespace ipctest;

namespace {

asio::ip::tcp::endpoint loopback(int port) {
    return {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)};
}

using RawPeer = IpcTest;

TEST_F(RawPeer, CallerCompletesTheRequestOnceWhateverThePeerSendsBeforeItCloses) {
    const std::uint64_t token = 0x0102030405060708u;
    const std::string reply = frame(kResponse, token, kMethod, "0123456789");
    const auto flip = [&](std::size_t offset, char mask) { // a header the caller must refuse
        auto bytes = reply;
        bytes[offset] ^= mask;
        return bytes;
    };
    const struct {
        const char *name;
        std::string bytes; // sent before the peer closes
        std::int32_t code; // of the request; the lost handler sees 7 for 7, 2 for the others
    } cases[] = {
        {"StrayRepliesThenTheReply",
         frame(kResponse, 999, kMethod, "unknown token") +
             frame(kResponse, token, kMethod + 1, "other method") + reply,
         VELORN_IPC_OK},
        {"ReplyWithACode", frame(kResponse, token, kMethod, "x", VELORN_IPC_EADDR),
         VELORN_IPC_EADDR},
        {"Nothing", "", VELORN_IPC_ECONNLOST},
        {"HalfAHeader", reply.substr(0, 13), VELORN_IPC_ECONNLOST},
        {"HalfAPayload", reply.substr(0, kHeaderSize + 5), VELORN_IPC_ECONNLOST},
        {"BadMagic", flip(0, 0x1E), VELORN_IPC_EPROTO},
        {"BadVersion", flip(4, 3), VELORN_IPC_EPROTO},
        {"WrongKind", flip(5, 3), VELORN_IPC_EPROTO},          // a request
        {"OversizeAnnounced", flip(24, 4), VELORN_IPC_EPROTO}, // 64 MiB more than it carries
    };
    asio::io_context io;
    asio::ip::tcp::acceptor listener(io, loopback(0));

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Recorder replies; // and connection events
        const auto channel = connectCaller(listener.local_endpoint().port(), &replies);
        ASSERT_EQ(sendText(channel, replies, token, "ask"), VELORN_IPC_OK);
        auto socket = listener.accept();
        std::string request(kHeaderSize + 3, '\0');
        asio::read(socket, asio::buffer(&request[0], request.size()));
        EXPECT_EQ(request, frame(kRequest, token, kMethod, "ask"));
        asio::write(socket, asio::buffer(c.bytes));
        if (c.code != VELORN_IPC_EPROTO)
            socket.close();
        ASSERT_TRUE(replies.waitFor(1, 2));
        if (c.code == VELORN_IPC_EPROTO) { // the caller closed the connection
            char byte;
            asio::error_code error;
            socket.read_some(asio::buffer(&byte, 1), error);
            EXPECT_TRUE(error == asio::error::eof || error == asio::error::connection_reset);
        }
        const auto messages = replies.messages();
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_EQ(messages[0].code, c.code);
        EXPECT_EQ(messages[0].token, token);
        EXPECT_EQ(messages[0].methodId, kMethod);
        EXPECT_EQ(messages[0].bytes, c.code == VELORN_IPC_OK ? "0123456789" : "");
        EXPECT_EQ(messages[0].nullBuffer, c.code != VELORN_IPC_OK);
        const auto lost = c.code == VELORN_IPC_EPROTO ? VELORN_IPC_EPROTO : VELORN_IPC_ECONNLOST;
        EXPECT_EQ(replies.statuses(), (std::vector<std::int32_t>{VELORN_IPC_OK, lost}));
        caller_destroy_ipc_channel(channel);
    }
}

TEST_F(RawPeer, CalleeClosesAConnectionWhoseResponsesAreNotReadWithinTheirTimeout) {
    EchoCallee callee(/*silent=*/true);
    asio::io_context io;
    asio::ip::tcp::socket client(io);
    client.connect(loopback(callee.port()));
    asio::write(client, asio::buffer(frame(kRequest, 1, kMethod, "")));
    ASSERT_TRUE(callee.requests().waitFor(1));
    const auto connection = callee.requests().messages().at(0).handle;
    // More than the loopback socket buffers hold while the client reads nothing. The closed
    // connection then leaves the registry by itself: poll for that with a deadline.
    ASSERT_EQ(respond(connection, 1, std::string(32u << 20, 'x'), /*timeoutMs=*/200),
              VELORN_IPC_OK);
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (respond(connection, 1, "") == VELORN_IPC_OK &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(respond(connection, 1, ""), VELORN_IPC_EINVAL);
}

using ConnectionEvents = IpcTest;

TEST_F(ConnectionEvents, ReachLateHandlersOnceAndARequestReconnectsOnDemandAfterARestart) {
    auto callee = std::make_unique<EchoCallee>();
    const int port = callee->port();
    Recorder replies; // and connection events, watched once the first connection was made
    const auto channel = connectCaller(port);
    ASSERT_EQ(sendText(channel, replies, 1, "first"), VELORN_IPC_OK); // waits for the connection
    ASSERT_TRUE(replies.waitFor(1));
    watch(channel, replies);

    callee.reset();
    ASSERT_TRUE(replies.waitFor(1, 2));
    ASSERT_EQ(sendText(channel, replies, 2, "while down"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitFor(2, 3));
    // Meanwhile, a channel whose first attempt is refused, watched after that.
    Recorder refused;
    const auto other = connectCaller(port);
    ASSERT_EQ(sendText(other, refused, 1, "anyone?"), VELORN_IPC_OK);
    ASSERT_TRUE(refused.waitFor(1));
    watch(other, refused);
    ASSERT_TRUE(refused.waitFor(1, 1));
    callee = std::make_unique<EchoCallee>(false, port);
    ASSERT_NE(callee->handle(), 0u);
    ASSERT_EQ(sendText(channel, replies, 3, "after restart"), VELORN_IPC_OK);

    ASSERT_TRUE(replies.waitFor(3, 4));
    const auto messages = replies.messages();
    EXPECT_EQ(messages[0].code, VELORN_IPC_OK);
    EXPECT_EQ(messages[1].code, VELORN_IPC_ECONNECT);
    EXPECT_EQ(messages[2].code, VELORN_IPC_OK);
    EXPECT_EQ(messages[2].bytes, "after restart");
    EXPECT_EQ(replies.statuses(), (std::vector<std::int32_t>{VELORN_IPC_OK, VELORN_IPC_ECONNLOST,
                                                             VELORN_IPC_ECONNECT, VELORN_IPC_OK}));
    EXPECT_EQ(refused.messages().at(0).code, VELORN_IPC_ECONNECT);
    EXPECT_EQ(refused.statuses(), std::vector<std::int32_t>{VELORN_IPC_ECONNECT});
    caller_destroy_ipc_channel(other);
    caller_destroy_ipc_channel(channel);
}

TEST_F(ConnectionEvents, ABurstCutOffByALostConnectionFailsOnceAndLeavesNothingForTheNext) {
    // Requests sent while others are in flight wait in the channel's outbox for one write. When
    // the connection goes, each of them fails once, and none of their frames may reach the next
    // connection: the restarted callee must see the second burst and nothing else.
    constexpr std::uint64_t kBurst = 300;
    auto callee = std::make_unique<EchoCallee>();
    const int port = callee->port();
    Recorder replies;
    const auto channel = connectCaller(port);
    ASSERT_EQ(sendText(channel, replies, 1, "connect"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitFor(1));
    std::thread cutter([&] { callee.reset(); });
    for (std::uint64_t token = 2; token < 2 + kBurst; ++token)
        sendText(channel, replies, token, std::string(token % 40, 'x'));
    cutter.join();
    ASSERT_TRUE(replies.waitFor(1 + kBurst));

    callee = std::make_unique<EchoCallee>(false, port);
    ASSERT_NE(callee->handle(), 0u);
    const std::uint64_t first = 1000;
    for (std::uint64_t token = first; token < first + kBurst; ++token)
        sendText(channel, replies, token, std::to_string(token));
    ASSERT_TRUE(replies.waitFor(1 + 2 * kBurst));

    std::map<std::uint64_t, int> calls;
    for (const auto &reply : replies.messages()) {
        ++calls[reply.token];
        if (reply.token >= first) {
            EXPECT_EQ(reply.code, VELORN_IPC_OK) << reply.token;
        } else if (reply.code != VELORN_IPC_OK) {
            EXPECT_TRUE(reply.code == VELORN_IPC_ECONNLOST || reply.code == VELORN_IPC_ECONNECT)
                << reply.code;
        }
    }
    EXPECT_EQ(calls.size(), 1 + 2 * kBurst);
    for (const auto &entry : calls)
        EXPECT_EQ(entry.second, 1) << entry.first;
    std::vector<std::uint64_t> seen;
    for (const auto &request : callee->requests().messages())
        seen.push_back(request.token);
    std::vector<std::uint64_t> second(kBurst);
    std::iota(second.begin(), second.end(), first);
    EXPECT_EQ(seen, second);
    caller_destroy_ipc_channel(channel);
}

} // namespace
