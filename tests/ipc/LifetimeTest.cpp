// Tearing channels and the module down while handlers run, stale handles, bad arguments, tokens.
#include "IpcTestSupport.h"

#include <atomic>
#include <future>
#include <set>
#include <thread>

using namespace ipctest;

namespace {

enum Teardown { DestroyCaller, DestroyListener, CallerFromItsHandler, ListenerFromItsHandler,
                ReleaseModule };
const char *const kTeardownNames[] = {"DestroyCaller", "DestroyListener", "CallerFromItsHandler",
                                      "ListenerFromItsHandler", "ReleaseModule"};

// Requests that keep themselves going between a caller channel and an echoing listener: every
// reply sends the next request, 64 in flight. A fault is a handler still running, or starting,
// once its side was torn down, or a reply handler overlapping another. The library's threads
// touch the atomics and progress_ (which has its own lock); the test's thread owns the rest.
class Traffic {
public:
    explicit Traffic(Teardown teardown) : teardown_(teardown) {
        callee_accept_ipc_channel(listener_, &Traffic::onAccept, this);
        caller_ = caller_create_ipc_channel_tcp("127.0.0.1", callee_ipc_channel_port(listener_));
        for (int i = 0; i < 64; ++i)
            send();
    }
    ~Traffic() {
        caller_destroy_ipc_channel(caller_);
        callee_destroy_ipc_channel(listener_);
    }

    // Tears the traffic down once it flows; returns what the destroy or release returned.
    int tearDown() {
        if (teardown_ == CallerFromItsHandler || teardown_ == ListenerFromItsHandler) {
            EXPECT_TRUE(progress_.waitFor(0, 1));
            return progress_.statuses().at(0);
        }
        EXPECT_TRUE(progress_.waitFor(200));
        const int result = teardown_ == DestroyCaller     ? caller_destroy_ipc_channel(caller_)
                           : teardown_ == DestroyListener ? callee_destroy_ipc_channel(listener_)
                                                          : release_velorn_ipc_module();
        callerGone_ = teardown_ != DestroyListener;
        calleeGone_ = teardown_ != DestroyCaller;
        const int restarted = teardown_ == ReleaseModule ? initial_velorn_ipc_module() : 0;
        return result != VELORN_IPC_OK ? result : restarted;
    }
    int faults() const { return faults_; }

private:
    static int onAccept(velorn_ipc_handle, void *context, velorn_ipc_handle connection) {
        return callee_async_recv_ipc_request(connection, &Traffic::onRequest, context);
    }
    static void onRequest(velorn_ipc_handle connection, void *context, std::uint64_t token,
                          std::uint32_t methodId, std::uint32_t size, const char *buffer,
                          std::int32_t) {
        auto &self = *static_cast<Traffic *>(context);
        if (++self.requests_ == 200 && self.teardown_ == ListenerFromItsHandler)
            return self.gone(self.calleeGone_, callee_destroy_ipc_channel(self.listener_));
        callee_async_send_ipc_response(connection, nullptr, nullptr, token, methodId, size, buffer,
                                       5000);
        self.leave(self.calleeGone_);
    }
    static void onReply(velorn_ipc_handle handle, void *context, std::uint64_t token,
                        std::uint32_t methodId, std::uint32_t size, const char *buffer,
                        std::int32_t code) {
        auto &self = *static_cast<Traffic *>(context);
        if (++self.replies_ == 200 && self.teardown_ == CallerFromItsHandler)
            return self.gone(self.callerGone_, caller_destroy_ipc_channel(self.caller_));
        if (self.replying_++ != 0)
            ++self.faults_; // handlers of one channel never run at the same time
        Recorder::onMessage(handle, &self.progress_, token, methodId, size, buffer, code);
        if (code == VELORN_IPC_OK)
            self.send();
        --self.replying_;
        self.leave(self.callerGone_);
    }

    void send() {
        caller_async_send_ipc_request(caller_, &Traffic::onReply, this, create_ipc_token(),
                                      kMethod, 3, "abc", 5000);
    }
    // A handler destroyed its own side: noted as a connection event carrying the result.
    void gone(std::atomic<bool> &side, int result) {
        side = true;
        Recorder::onConnection(0, &progress_, result);
    }
    int leave(const std::atomic<bool> &side) { return side ? ++faults_ : 0; }

    const Teardown teardown_;
    velorn_ipc_handle listener_ = callee_create_ipc_channel_tcp("127.0.0.1", 0);
    velorn_ipc_handle caller_ = 0;
    Recorder progress_; // replies, and the result of a destroy from a handler
    std::atomic<int> requests_{0};
    std::atomic<int> replies_{0};
    std::atomic<bool> callerGone_{false};
    std::atomic<bool> calleeGone_{false};
    std::atomic<int> replying_{0};
    std::atomic<int> faults_{0};
};

class TeardownUnderTraffic : public IpcTest, public ::testing::WithParamInterface<Teardown> {};

TEST_P(TeardownUnderTraffic, ReturnsAndNoHandlerOfTheTornDownSideRunsAfterwards) {
    Traffic traffic(GetParam());
    EXPECT_EQ(traffic.tearDown(), VELORN_IPC_OK);
    // Handlers that were about to start have had their chance once another exchange went through.
    EchoCallee witness;
    Recorder replies;
    const auto channel = connectCaller(witness.port());
    ASSERT_EQ(sendText(channel, replies, 1, "flush"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitFor(1));
    EXPECT_EQ(traffic.faults(), 0);
    caller_destroy_ipc_channel(channel);
}

INSTANTIATE_TEST_SUITE_P(Teardowns, TeardownUnderTraffic,
                         ::testing::Values(DestroyCaller, DestroyListener, CallerFromItsHandler,
                                           ListenerFromItsHandler, ReleaseModule),
                         [](const auto &info) { return kTeardownNames[info.param]; });

using H = velorn_ipc_handle;
void ignoreMessage(H, void *, std::uint64_t, std::uint32_t, std::uint32_t, const char *,
                   std::int32_t) {}
void ignoreEvent(H, void *, std::int32_t) {}
int ignoreAccept(H, void *, H) { return 0; }

// Every call that takes a handle, and whether it wants the handle of a caller channel.
const struct {
    const char *name;
    bool callerSide;
    int (*call)(H);
} kHandleCalls[] = {
    {"SetLost", true, [](H h) { return caller_set_connection_lost_callback(h, ignoreEvent, 0); }},
    {"SetConnected", true, [](H h) { return caller_set_on_connected_callback(h, ignoreEvent, 0); }},
    {"Send", true,
     [](H h) { return caller_async_send_ipc_request(h, ignoreMessage, 0, 1, 1, 1, "x", 100); }},
    {"DestroyCaller", true, caller_destroy_ipc_channel},
    {"Accept", false, [](H h) { return callee_accept_ipc_channel(h, ignoreAccept, 0); }},
    {"Receive", false, [](H h) { return callee_async_recv_ipc_request(h, ignoreMessage, 0); }},
    {"Respond", false,
     [](H h) { return callee_async_send_ipc_response(h, 0, 0, 1, 1, 1, "x", 100); }},
    {"DestroyCallee", false, callee_destroy_ipc_channel},
    {"Drain", false, [](H h) { return callee_drain_ipc_channel(h, 100); }},
};

using Arguments = IpcTest;

TEST_F(Arguments, BadOnesAndHandlesThatNameNothingOfTheRightSideAreRefusedWithInvalid) {
    EchoCallee callee;
    const auto caller = connectCaller(callee.port());
    const auto destroyedCaller = connectCaller(callee.port());
    const auto destroyedCallee = callee_create_ipc_channel_tcp("127.0.0.1", 0);
    ASSERT_EQ(caller_destroy_ipc_channel(destroyedCaller), VELORN_IPC_OK);
    ASSERT_EQ(callee_destroy_ipc_channel(destroyedCallee), VELORN_IPC_OK);
    for (const auto &call : kHandleCalls)
        for (const H handle : {H{0}, H{987654321}, destroyedCaller, destroyedCallee,
                               call.callerSide ? callee.handle() : caller})
            EXPECT_EQ(call.call(handle), VELORN_IPC_EINVAL) << call.name << " on " << handle;

    const std::pair<const char *, int> badCallers[] = {
        {nullptr, 80}, {"", 80}, {"127.0.0.1", 0}, {"127.0.0.1", 65536}};
    const std::pair<const char *, int> badCallees[] = {
        {nullptr, 0}, {"127.0.0.1", -1}, {"127.0.0.1", 65536},
        {"192.0.2.1", 0} /* not of this host */, {"127.0.0.1", callee.port()} /* in use */};
    for (const auto &[host, port] : badCallers)
        EXPECT_EQ(caller_create_ipc_channel_tcp(host, port), 0u) << port;
    for (const auto &[host, port] : badCallees)
        EXPECT_EQ(callee_create_ipc_channel_tcp(host, port), 0u) << port;
    EXPECT_EQ(callee_accept_ipc_channel(callee.handle(), nullptr, nullptr), VELORN_IPC_EINVAL);
    EXPECT_EQ(caller_async_send_ipc_request(caller, nullptr, nullptr, 1, kMethod, 0, nullptr, 100),
              VELORN_IPC_EINVAL);
    EXPECT_EQ(caller_async_send_ipc_request(caller, ignoreMessage, nullptr, 1, kMethod, 4, nullptr,
                                            100),
              VELORN_IPC_EINVAL); // no bytes where 4 are due
    caller_destroy_ipc_channel(caller);
}

using Drain = IpcTest;

TEST_F(Drain, WaitsForTheResponsesOfDeliveredRequestsWhileNothingNewGetsIn) {
    EchoCallee callee(/*silent=*/true);
    Recorder replies;
    const auto channel = connectCaller(callee.port());
    for (std::uint64_t token = 1; token <= 3; ++token)
        ASSERT_EQ(sendText(channel, replies, token, "r" + std::to_string(token)), VELORN_IPC_OK);
    ASSERT_TRUE(callee.requests().waitFor(3));
    EXPECT_EQ(callee_drain_ipc_channel(callee.handle(), 50), VELORN_IPC_ETIMEDOUT);

    const auto patience = static_cast<std::int32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(kPatience).count());
    auto drained = std::async(std::launch::async,
                              [&] { return callee_drain_ipc_channel(callee.handle(), patience); });
    for (const auto &request : callee.requests().messages())
        ASSERT_EQ(respond(request.handle, request.token, request.bytes), VELORN_IPC_OK);
    EXPECT_EQ(drained.get(), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitFor(3));
    // The drained connection reads no further request, and the listener takes no new caller.
    ASSERT_EQ(sendText(channel, replies, 4, "late", /*timeoutMs=*/200), VELORN_IPC_OK);
    Recorder refused;
    const auto newcomer = connectCaller(callee.port());
    ASSERT_EQ(sendText(newcomer, refused, 5, "new"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitFor(4));
    ASSERT_TRUE(refused.waitFor(1));
    for (const auto &reply : replies.messages())
        EXPECT_EQ(reply.code, reply.token == 4 ? VELORN_IPC_ETIMEDOUT : VELORN_IPC_OK);
    EXPECT_EQ(refused.messages().at(0).code, VELORN_IPC_ECONNECT);
    EXPECT_EQ(callee.requests().messages().size(), 3u);
    caller_destroy_ipc_channel(newcomer);
    caller_destroy_ipc_channel(channel);
}

TEST(Module, CountsItsUsersAndTheLastReleaseDestroysChannelsWhoseHandlesAreNeverReused) {
    EXPECT_EQ(release_velorn_ipc_module(), VELORN_IPC_EINVAL);
    EXPECT_EQ(callee_create_ipc_channel_tcp("127.0.0.1", 0), 0u);
    ASSERT_EQ(initial_velorn_ipc_module(), VELORN_IPC_OK);
    ASSERT_EQ(initial_velorn_ipc_module(), VELORN_IPC_OK);
    EchoCallee callee; // destroyed once its handle is stale, which is refused and does nothing
    Recorder replies;
    const auto channel = connectCaller(callee.port());

    ASSERT_EQ(release_velorn_ipc_module(), VELORN_IPC_OK); // one user left
    ASSERT_EQ(sendText(channel, replies, 1, "still here"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitFor(1));
    EXPECT_EQ(replies.messages()[0].code, VELORN_IPC_OK);

    ASSERT_EQ(release_velorn_ipc_module(), VELORN_IPC_OK);
    EXPECT_EQ(caller_destroy_ipc_channel(channel), VELORN_IPC_EINVAL);
    EXPECT_EQ(callee_ipc_channel_port(callee.handle()), 0);
    EXPECT_EQ(release_velorn_ipc_module(), VELORN_IPC_EINVAL);

    ASSERT_EQ(initial_velorn_ipc_module(), VELORN_IPC_OK);
    const auto fresh = callee_create_ipc_channel_tcp("127.0.0.1", 0);
    EXPECT_NE(fresh, 0u);
    EXPECT_NE(fresh, callee.handle());
    EXPECT_NE(fresh, channel);
    EXPECT_EQ(callee_destroy_ipc_channel(callee.handle()), VELORN_IPC_EINVAL);
    EXPECT_EQ(release_velorn_ipc_module(), VELORN_IPC_OK);
}

TEST(Token, IsNeverZeroAndUniqueAcrossThreads) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50000;
    std::vector<std::uint64_t> drawn[kThreads];
    std::vector<std::thread> threads;
    for (auto &tokens : drawn)
        threads.emplace_back([&tokens] {
            for (int i = 0; i < kPerThread; ++i)
                tokens.push_back(create_ipc_token());
        });
    std::set<std::uint64_t> unique{0};
    for (int t = 0; t < kThreads; ++t) {
        threads[t].join();
        unique.insert(drawn[t].begin(), drawn[t].end());
    }
    EXPECT_EQ(unique.size(), 1u + kThreads * kPerThread); // 0 was in it from the start
}

} // namespace
