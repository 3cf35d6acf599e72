// Lost and refused connections, frames that break the protocol, oversize messages, reconnection.
#include "IpcTestSupport.h"

using namespace ipctest;

namespace {

constexpr std::uint32_t kMethod = 0x40706157u;

// What a peer sends before it closes the connection in the middle of a request.
struct Truncation {
    const char *name;
    std::string bytes;
};

class PeerCloses : public IpcTest, public ::testing::WithParamInterface<Truncation> {};

TEST_P(PeerCloses, InFlightRequestFailsWithConnectionLostAndTheLostHandlerIsCalled) {
    RawListener peer;
    Recorder replies;
    Recorder events;
    const auto channel = connectCaller(peer.port(), &events);
    ASSERT_EQ(sendText(channel, replies, 5, kMethod, "request"), VELORN_IPC_OK);
    {
        auto socket = peer.accept();
        readFrame(socket);
        asio::write(socket, asio::buffer(GetParam().bytes));
    }

    ASSERT_TRUE(replies.waitForMessages(1));
    const auto reply = replies.messages().at(0);
    EXPECT_EQ(reply.code, VELORN_IPC_ECONNLOST);
    EXPECT_EQ(reply.token, 5u);
    EXPECT_TRUE(reply.nullBuffer);
    ASSERT_TRUE(events.waitForEvents(2));
    EXPECT_EQ(events.statuses(), (std::vector<std::int32_t>{VELORN_IPC_OK, VELORN_IPC_ECONNLOST}));
    caller_destroy_ipc_channel(channel);
}

INSTANTIATE_TEST_SUITE_P(
    Truncations, PeerCloses,
    ::testing::Values(Truncation{"Nothing", ""},
                      Truncation{"HalfAHeader", frame(kResponse, 5, kMethod, "").substr(0, 13)},
                      Truncation{"HalfAPayload", frame(kResponse, 5, kMethod, "0123456789")
                                                     .substr(0, kHeaderSize + 5)}),
    [](const auto &info) { return std::string(info.param.name); });

// A frame that is not of this protocol, built for the kind that the receiver expects.
struct BadFrame {
    const char *name;
    std::string (*make)(std::uint8_t expectedKind);
};

const BadFrame kBadFrames[] = {
    {"BadMagic", [](std::uint8_t kind) { return frame(kind, 5, kMethod, "x", 0x48545450u); }},
    {"WrongKind",
     [](std::uint8_t kind) { return frame(kind == kRequest ? kResponse : kRequest, 5, kMethod, ""); }},
    {"BadVersion",
     [](std::uint8_t kind) {
         auto bytes = frame(kind, 5, kMethod, "");
         bytes[4] = 2;
         return bytes;
     }},
    {"OversizeAnnounced",
     [](std::uint8_t kind) {
         return frame(kind, 5, kMethod, "", 0x56495043u, VELORN_IPC_MAX_PAYLOAD + 1);
     }},
};

std::string badFrameName(const ::testing::TestParamInfo<BadFrame> &info) {
    return info.param.name;
}

class CallerReceives : public IpcTest, public ::testing::WithParamInterface<BadFrame> {};

TEST_P(CallerReceives, BadFrameClosesTheConnectionAndFailsRequestsWithProtocolError) {
    RawListener peer;
    Recorder replies;
    Recorder events;
    const auto channel = connectCaller(peer.port(), &events);
    ASSERT_EQ(sendText(channel, replies, 5, kMethod, "request"), VELORN_IPC_OK);
    auto socket = peer.accept();
    readFrame(socket);

    asio::write(socket, asio::buffer(GetParam().make(kResponse)));

    EXPECT_TRUE(peerCloses(socket));
    ASSERT_TRUE(replies.waitForMessages(1));
    EXPECT_EQ(replies.messages().at(0).code, VELORN_IPC_EPROTO);
    ASSERT_TRUE(events.waitForEvents(2));
    EXPECT_EQ(events.statuses(), (std::vector<std::int32_t>{VELORN_IPC_OK, VELORN_IPC_EPROTO}));
    caller_destroy_ipc_channel(channel);
}

INSTANTIATE_TEST_SUITE_P(BadFrames, CallerReceives, ::testing::ValuesIn(kBadFrames), badFrameName);

class CalleeReceives : public IpcTest, public ::testing::WithParamInterface<BadFrame> {};

TEST_P(CalleeReceives, BadFrameClosesTheConnectionBeforeAnyRequestIsDelivered) {
    EchoCallee callee;
    RawClient client(callee.port());

    asio::write(client.socket(), asio::buffer(GetParam().make(kRequest)));

    EXPECT_TRUE(peerCloses(client.socket()));
    EXPECT_TRUE(callee.requests().messages().empty());
}

INSTANTIATE_TEST_SUITE_P(BadFrames, CalleeReceives, ::testing::ValuesIn(kBadFrames), badFrameName);

class Oversize : public IpcTest {};

TEST_F(Oversize, RequestIsAcceptedAndItsHandlerCalledOnceWithTooBigWithoutSendingIt) {
    EchoCallee callee;
    Recorder replies;
    const auto channel = connectCaller(callee.port());
    const char byte = 0; // never read: the size is checked first

    ASSERT_EQ(caller_async_send_ipc_request(channel, &Recorder::onMessage, &replies, 9, kMethod,
                                            VELORN_IPC_MAX_PAYLOAD + 1, &byte, 5000),
              VELORN_IPC_OK);
    ASSERT_EQ(sendText(channel, replies, 10, kMethod, "fits"), VELORN_IPC_OK);

    ASSERT_TRUE(replies.waitForMessages(2));
    auto messages = replies.messages();
    std::sort(messages.begin(), messages.end(),
              [](const Message &a, const Message &b) { return a.token < b.token; });
    EXPECT_EQ(messages[0].token, 9u);
    EXPECT_EQ(messages[0].code, VELORN_IPC_ETOOBIG);
    EXPECT_TRUE(messages[0].nullBuffer);
    EXPECT_EQ(messages[1].code, VELORN_IPC_OK);
    ASSERT_EQ(callee.requests().messages().size(), 1u);
    EXPECT_EQ(callee.requests().messages()[0].token, 10u);
    caller_destroy_ipc_channel(channel);
}

TEST_F(Oversize, ResponseIsRefusedWithTooBig) {
    EchoCallee callee(/*silent=*/true);
    Recorder replies;
    const auto channel = connectCaller(callee.port());
    ASSERT_EQ(sendText(channel, replies, 11, kMethod, "ask"), VELORN_IPC_OK);
    ASSERT_TRUE(callee.requests().waitForMessages(1));
    const auto connection = callee.requests().messages()[0].handle;
    const char byte = 0;

    EXPECT_EQ(callee_async_send_ipc_response(connection, nullptr, nullptr, 11, kMethod,
                                             VELORN_IPC_MAX_PAYLOAD + 1, &byte, 5000),
              VELORN_IPC_ETOOBIG);
    caller_destroy_ipc_channel(channel);
}

using ConnectionEvents = IpcTest;

TEST_F(ConnectionEvents, ReportsConnectedThenLostWhenTheCalleeGoesAway) {
    EchoCallee callee;
    Recorder events;
    const auto channel = connectCaller(callee.port(), &events);
    ASSERT_TRUE(events.waitForEvents(1));
    EXPECT_EQ(events.statuses(), std::vector<std::int32_t>{VELORN_IPC_OK});

    callee.close();

    ASSERT_TRUE(events.waitForEvents(2));
    EXPECT_EQ(events.statuses(), (std::vector<std::int32_t>{VELORN_IPC_OK, VELORN_IPC_ECONNLOST}));
    caller_destroy_ipc_channel(channel);
}

// A port on which nothing listens any more.
int closedPort() {
    EchoCallee callee;
    return callee.port();
}

TEST_F(ConnectionEvents, ReportsConnectFailureToEventsAndWaitingRequestsWhenThePortIsClosed) {
    Recorder events;
    Recorder replies;
    const auto channel = connectCaller(closedPort(), &events);
    ASSERT_NE(channel, 0u);
    ASSERT_EQ(sendText(channel, replies, 3, kMethod, "anyone?"), VELORN_IPC_OK);

    ASSERT_TRUE(replies.waitForMessages(1));
    EXPECT_EQ(replies.messages().at(0).code, VELORN_IPC_ECONNECT);
    ASSERT_TRUE(events.waitForEvents(1));
    EXPECT_EQ(events.statuses().at(0), VELORN_IPC_ECONNECT);
    caller_destroy_ipc_channel(channel);
}

TEST_F(ConnectionEvents, HandlerRegisteredAfterTheConnectionWasMadeIsCalledOnceForIt) {
    EchoCallee callee;
    Recorder replies;
    Recorder events;
    const auto channel = connectCaller(callee.port());
    ASSERT_EQ(sendText(channel, replies, 1, kMethod, "a"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(1)); // so the connection was made

    ASSERT_EQ(caller_set_on_connected_callback(channel, &Recorder::onConnection, &events),
              VELORN_IPC_OK);
    ASSERT_EQ(caller_set_connection_lost_callback(channel, &Recorder::onConnection, &events),
              VELORN_IPC_OK);
    ASSERT_EQ(sendText(channel, replies, 2, kMethod, "b"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(2)); // registrations are handled before this reply

    EXPECT_EQ(events.statuses(), std::vector<std::int32_t>{VELORN_IPC_OK});
    caller_destroy_ipc_channel(channel);
}

TEST_F(ConnectionEvents, HandlerRegisteredAfterTheAttemptFailedIsCalledOnceForTheFailure) {
    Recorder replies;
    Recorder events;
    const auto channel = connectCaller(closedPort());
    ASSERT_EQ(sendText(channel, replies, 1, kMethod, "a"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(1)); // so the attempt failed

    ASSERT_EQ(caller_set_on_connected_callback(channel, &Recorder::onConnection, &events),
              VELORN_IPC_OK);
    ASSERT_EQ(caller_set_connection_lost_callback(channel, &Recorder::onConnection, &events),
              VELORN_IPC_OK);

    ASSERT_TRUE(events.waitForEvents(1));
    EXPECT_EQ(events.statuses(), std::vector<std::int32_t>{VELORN_IPC_ECONNECT});
    caller_destroy_ipc_channel(channel);
}

TEST_F(ConnectionEvents, RequestAfterTheCalleeRestartedReconnectsOnDemand) {
    auto callee = std::make_unique<EchoCallee>();
    const int port = callee->port();
    Recorder events;
    Recorder replies;
    const auto channel = connectCaller(port, &events);
    ASSERT_EQ(sendText(channel, replies, 1, kMethod, "first"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(1));

    callee.reset();
    ASSERT_TRUE(events.waitForEvents(2));
    ASSERT_EQ(sendText(channel, replies, 2, kMethod, "while down"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(2));
    callee = std::make_unique<EchoCallee>(false, port);
    ASSERT_NE(callee->handle(), 0u);
    ASSERT_EQ(sendText(channel, replies, 3, kMethod, "after restart"), VELORN_IPC_OK);

    ASSERT_TRUE(replies.waitForMessages(3));
    const auto messages = replies.messages();
    EXPECT_EQ(messages[0].code, VELORN_IPC_OK);
    EXPECT_EQ(messages[1].code, VELORN_IPC_ECONNECT);
    EXPECT_EQ(messages[2].code, VELORN_IPC_OK);
    EXPECT_EQ(messages[2].bytes, "after restart");
    ASSERT_TRUE(events.waitForEvents(4));
    EXPECT_EQ(events.statuses(), (std::vector<std::int32_t>{VELORN_IPC_OK, VELORN_IPC_ECONNLOST,
                                                            VELORN_IPC_ECONNECT, VELORN_IPC_OK}));
    caller_destroy_ipc_channel(channel);
}

} // namespace
