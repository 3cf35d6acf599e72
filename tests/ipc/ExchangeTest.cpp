// Requests and replies between caller and callee channels, in this process and across two.
#include "IpcTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <tuple>

using namespace ipctest;

namespace {

using Exchange = IpcTest;

TEST_F(Exchange, EachCallerGetsItsOwnBytesBackUnderItsTokenAndMethod) {
    // Empty, small, more than one read of the library (64 KiB) and more than a socket buffer,
    // each from its own caller to one callee at the same time.
    const std::size_t sizes[] = {0, 1, 70000, 3u << 20};
    EchoCallee callee;
    Recorder replies[4];
    velorn_ipc_handle channels[4];
    std::string payloads[4];
    for (int i = 0; i < 4; ++i) {
        for (std::size_t j = 0; j < sizes[i]; ++j)
            payloads[i].push_back(static_cast<char>(j * 7 + i));
        channels[i] = connectCaller(callee.port());
        ASSERT_EQ(sendText(channels[i], replies[i], 100 + i, payloads[i]), VELORN_IPC_OK);
    }
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(sizes[i]);
        ASSERT_TRUE(replies[i].waitFor(1));
        const auto reply = replies[i].messages().at(0);
        EXPECT_EQ(reply.handle, channels[i]);
        EXPECT_EQ(reply.token, 100u + i);
        EXPECT_EQ(reply.methodId, kMethod);
        EXPECT_EQ(reply.code, VELORN_IPC_OK);
        EXPECT_TRUE(reply.bytes == payloads[i]);
        EXPECT_EQ(caller_destroy_ipc_channel(channels[i]), VELORN_IPC_OK);
    }
}

TEST_F(Exchange, TenThousandRequestsInFlightAreEachAnsweredOnceUnderTheirOwnToken) {
    constexpr std::size_t kCount = 10000;
    EchoCallee callee(/*silent=*/true);
    Recorder replies;
    const auto channel = connectCaller(callee.port());
    std::map<std::uint64_t, std::string> sent;
    for (std::size_t i = 0; i < kCount; ++i) {
        const auto token = create_ipc_token();
        sent[token] = "request " + std::to_string(token);
        ASSERT_EQ(sendText(channel, replies, token, sent[token], 60000), VELORN_IPC_OK);
    }
    // All of them reach the callee before any is answered, then the answers go back reversed.
    ASSERT_TRUE(callee.requests().waitFor(kCount));
    const auto requests = callee.requests().messages();
    for (auto it = requests.rbegin(); it != requests.rend(); ++it)
        ASSERT_EQ(respond(it->handle, it->token, it->bytes), VELORN_IPC_OK);

    ASSERT_TRUE(replies.waitFor(kCount));
    std::map<std::uint64_t, int> calls;
    for (const auto &reply : replies.messages()) {
        ++calls[reply.token];
        EXPECT_EQ(reply.code, VELORN_IPC_OK);
        EXPECT_EQ(reply.bytes, sent[reply.token]);
    }
    EXPECT_EQ(calls.size(), kCount);
    for (const auto &[token, count] : calls)
        EXPECT_EQ(count, 1) << token;
    caller_destroy_ipc_channel(channel);
}

TEST_F(Exchange, RequestsOfSeveralThreadsArriveWholeAndInEachThreadsOrder) {
    // Small requests leave from the sending thread while the connection is idle, or gather in
    // the outbox that the I/O thread writes in one go while others are in flight; large ones
    // overflow the socket and queue the rest (and whatever follows) on the I/O thread. Mixed,
    // from four threads at once, no frame may be cut into by another, and each thread's
    // requests must reach the callee in the order it sent them.
    constexpr int kThreads = 4;
    constexpr int kPerThread = 60;
    EchoCallee callee;
    Recorder replies;
    const auto channel = connectCaller(callee.port());
    ASSERT_EQ(sendText(channel, replies, 1, "warm up"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitFor(1)); // connected: the direct path is open
    auto payload = [](std::uint64_t token) {
        const std::size_t size = token % 7 == 0 ? 300000 : token % 50;
        std::string text(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            text[i] = static_cast<char>(token * 31 + i);
        return text;
    };
    auto token = [](int thread, int i) { return std::uint64_t(1000 * (thread + 1) + i); };
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                sendText(channel, replies, token(t, i), payload(token(t, i)), 60000);
        });
    for (auto &sender : senders)
        sender.join();

    ASSERT_TRUE(replies.waitFor(1 + kThreads * kPerThread));
    std::map<std::uint64_t, int> calls;
    for (const auto &reply : replies.messages()) {
        ++calls[reply.token];
        EXPECT_EQ(reply.code, VELORN_IPC_OK);
        if (reply.token != 1) {
            EXPECT_TRUE(reply.bytes == payload(reply.token)) << reply.token;
        }
    }
    EXPECT_EQ(calls.size(), 1u + kThreads * kPerThread);
    std::vector<int> next(kThreads, 0);
    for (const auto &request : callee.requests().messages()) {
        if (request.token == 1)
            continue;
        const int thread = static_cast<int>(request.token / 1000) - 1;
        EXPECT_EQ(request.token, token(thread, next[thread])) << "out of order";
        ++next[thread];
    }
    caller_destroy_ipc_channel(channel);
}

TEST_F(Exchange, EachRequestTimesOutByItsOwnDeadlineWhateverTheOthersOnTheChannelDo) {
    // One timer serves the channel: a shorter deadline after a longer one must bring it
    // forward, and an answered request must not take the others' deadlines with it.
    struct Row {
        std::uint64_t token;
        std::int32_t timeoutMs;
        bool answered;
    };
    const Row rows[] = {{1, 900, false}, {2, 150, false}, {3, 100, true}, {4, 500, false},
                        {5, 0, true}};
    EchoCallee callee(/*silent=*/true);
    Recorder replies;
    const auto channel = connectCaller(callee.port());
    for (const Row &row : rows)
        ASSERT_EQ(sendText(channel, replies, row.token, "r", row.timeoutMs), VELORN_IPC_OK);
    ASSERT_TRUE(callee.requests().waitFor(std::size(rows)));
    const auto connection = callee.requests().messages()[0].handle;
    for (const Row &row : rows)
        if (row.answered) {
            ASSERT_EQ(respond(connection, row.token, "r"), VELORN_IPC_OK);
        }

    ASSERT_TRUE(replies.waitFor(std::size(rows)));
    std::vector<std::uint64_t> timedOut;
    for (const auto &reply : replies.messages()) {
        const Row &row = rows[reply.token - 1];
        EXPECT_EQ(reply.code, row.answered ? VELORN_IPC_OK : VELORN_IPC_ETIMEDOUT) << row.token;
        if (!row.answered)
            timedOut.push_back(reply.token);
    }
    // Deadlines fall due in their own order, however late the timer runs.
    EXPECT_EQ(timedOut, (std::vector<std::uint64_t>{2, 4, 1}));
    caller_destroy_ipc_channel(channel);
}

TEST_F(Exchange, SilentCalleeMeansTimeoutAndOversizeMeansTooBigOnceEachAndLateRepliesAreDropped) {
    EchoCallee callee(/*silent=*/true);
    Recorder replies;
    const auto channel = connectCaller(callee.port());
    const char byte = 0; // never read: the size is checked first
    ASSERT_EQ(sendText(channel, replies, 41, "slow", /*timeoutMs=*/150), VELORN_IPC_OK);
    ASSERT_EQ(caller_async_send_ipc_request(channel, &Recorder::onMessage, &replies, 9, kMethod,
                                            VELORN_IPC_MAX_PAYLOAD + 1, &byte, 5000),
              VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitFor(2));
    ASSERT_TRUE(callee.requests().waitFor(1));
    const auto connection = callee.requests().messages()[0].handle;
    EXPECT_EQ(callee_async_send_ipc_response(connection, nullptr, nullptr, 41, kMethod,
                                             VELORN_IPC_MAX_PAYLOAD + 1, &byte, 5000),
              VELORN_IPC_ETOOBIG);
    // The late reply travels before the next one on the same connection, so once the next one
    // is seen the late one has been read, and dropped.
    ASSERT_EQ(respond(connection, 41, "late"), VELORN_IPC_OK);
    ASSERT_EQ(sendText(channel, replies, 42, "next"), VELORN_IPC_OK);
    ASSERT_TRUE(callee.requests().waitFor(2));
    ASSERT_EQ(respond(connection, 42, "next"), VELORN_IPC_OK);

    ASSERT_TRUE(replies.waitFor(3));
    auto messages = replies.messages();
    ASSERT_EQ(messages.size(), 3u);
    std::sort(messages.begin(), messages.end(),
              [](const Message &a, const Message &b) { return a.token < b.token; });
    const std::tuple<std::uint64_t, std::int32_t, std::string> expected[] = {
        {9, VELORN_IPC_ETOOBIG, ""}, {41, VELORN_IPC_ETIMEDOUT, ""}, {42, VELORN_IPC_OK, "next"}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(std::tie(messages[i].token, messages[i].code, messages[i].bytes), expected[i]);
        EXPECT_EQ(messages[i].methodId, kMethod);
        EXPECT_EQ(messages[i].nullBuffer, messages[i].code != VELORN_IPC_OK);
    }
    EXPECT_EQ(callee.requests().messages().size(), 2u); // the oversize one was never sent
    caller_destroy_ipc_channel(channel);
}

TEST_F(Exchange, ReachesACalleeInAnotherProcessAndSeesItLeave) {
    // The peer prints its port, answers with the payload reversed and leaves on "bye".
    FILE *peer = popen(IPC_ECHO_PEER_PATH, "r");
    ASSERT_NE(peer, nullptr);
    int port = 0;
    ASSERT_EQ(std::fscanf(peer, "%d", &port), 1);
    Recorder replies; // and connection events
    const auto channel = connectCaller(port, &replies);

    ASSERT_EQ(sendText(channel, replies, 21, "across"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitFor(1));
    ASSERT_EQ(sendText(channel, replies, 22, "bye"), VELORN_IPC_OK);

    ASSERT_TRUE(replies.waitFor(2, 2));
    const auto messages = replies.messages();
    EXPECT_EQ(messages[0].code, VELORN_IPC_OK);
    EXPECT_EQ(messages[0].token, 21u);
    EXPECT_EQ(messages[0].bytes, "ssorca");
    EXPECT_EQ(messages[1].code, VELORN_IPC_ECONNLOST);
    EXPECT_EQ(replies.statuses(), (std::vector<std::int32_t>{VELORN_IPC_OK, VELORN_IPC_ECONNLOST}));
    const int status = pclose(peer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    caller_destroy_ipc_channel(channel);
}

} // namespace
