// Destroying channels and releasing the module while handlers run, stale handles, tokens.
#include "IpcTestSupport.h"

#include <atomic>
#include <functional>
#include <future>
#include <set>
#include <thread>

using namespace ipctest;

namespace {

constexpr std::uint32_t kMethod = 0xD53B45D3u;

// Requests flowing from sender threads through a caller channel to an echoing callee. Every
// handler notes whether it started after the side it belongs to was torn down.
class Traffic {
public:
    Traffic() {
        listener_ = callee_create_ipc_channel_tcp("127.0.0.1", 0);
        callee_accept_ipc_channel(listener_, &Traffic::onAccept, this);
        caller_ = caller_create_ipc_channel_tcp("127.0.0.1", callee_ipc_channel_port(listener_));
        for (int i = 0; i < 2; ++i)
            senders_.emplace_back([this] {
                while (!stop_) {
                    {
                        std::unique_lock<std::mutex> lock(mutex_);
                        changed_.wait(lock, [&] { return stop_ || inFlight_ < kWindow; });
                        ++inFlight_;
                    }
                    if (caller_async_send_ipc_request(caller_, &Traffic::onReply, this,
                                                      create_ipc_token(), kMethod, 3, "abc",
                                                      5000) != VELORN_IPC_OK)
                        replied(); // refused: no handler will come for it
                }
            });
    }
    ~Traffic() { stopSending(); }

    velorn_ipc_handle caller() const { return caller_; }
    velorn_ipc_handle listener() const { return listener_; }
    bool waitForReplies(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return replies_ >= count; });
    }
    void stopSending() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        for (auto &sender : senders_)
            sender.join();
        senders_.clear();
    }

    std::atomic<bool> callerGone{false};
    std::atomic<bool> calleeGone{false};
    std::atomic<int> lateCalls{0};

private:
    static int onAccept(velorn_ipc_handle, void *context, velorn_ipc_handle connection) {
        auto &self = *static_cast<Traffic *>(context);
        if (self.calleeGone)
            ++self.lateCalls;
        return callee_async_recv_ipc_request(connection, &Traffic::onRequest, context);
    }
    static void onRequest(velorn_ipc_handle connection, void *context, std::uint64_t token,
                          std::uint32_t methodId, std::uint32_t size, const char *buffer,
                          std::int32_t) {
        auto &self = *static_cast<Traffic *>(context);
        if (self.calleeGone)
            ++self.lateCalls;
        callee_async_send_ipc_response(connection, nullptr, nullptr, token, methodId, size, buffer,
                                       5000);
    }
    static void onReply(velorn_ipc_handle, void *context, std::uint64_t, std::uint32_t,
                        std::uint32_t, const char *, std::int32_t) {
        auto &self = *static_cast<Traffic *>(context);
        if (self.callerGone)
            ++self.lateCalls;
        self.replied();
    }
    void replied() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++replies_;
        --inFlight_;
        changed_.notify_all();
    }

    static constexpr int kWindow = 64; // requests in flight at most

    velorn_ipc_handle listener_ = 0;
    velorn_ipc_handle caller_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> senders_;
    std::mutex mutex_;
    std::condition_variable changed_;
    int replies_ = 0;  /* guarded by mutex_ */
    int inFlight_ = 0; /* guarded by mutex_ */
};

// How the traffic is torn down; each sets the flags of what it tore down once it returned.
struct Teardown {
    const char *name;
    std::function<void(Traffic &)> run;
};

class TeardownUnderTraffic : public IpcTest, public ::testing::WithParamInterface<Teardown> {};

TEST_P(TeardownUnderTraffic, NoHandlerOfTheTornDownSideRunsAfterwards) {
    Traffic traffic;
    ASSERT_TRUE(traffic.waitForReplies(200));

    GetParam().run(traffic);

    // Handlers that were about to start have had their chance once another exchange went through.
    EchoCallee witness;
    Recorder replies;
    const auto channel = connectCaller(witness.port());
    ASSERT_EQ(sendText(channel, replies, 1, kMethod, "flush"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(1));
    traffic.stopSending();
    EXPECT_EQ(traffic.lateCalls.load(), 0);
    caller_destroy_ipc_channel(channel);
    caller_destroy_ipc_channel(traffic.caller());
    callee_destroy_ipc_channel(traffic.listener());
}

INSTANTIATE_TEST_SUITE_P(
    Teardowns, TeardownUnderTraffic,
    ::testing::Values(Teardown{"DestroyCaller",
                               [](Traffic &t) {
                                   ASSERT_EQ(caller_destroy_ipc_channel(t.caller()), VELORN_IPC_OK);
                                   t.callerGone = true;
                               }},
                      Teardown{"DestroyListener",
                               [](Traffic &t) {
                                   ASSERT_EQ(callee_destroy_ipc_channel(t.listener()),
                                             VELORN_IPC_OK);
                                   t.calleeGone = true;
                               }},
                      Teardown{"ReleaseModule",
                               [](Traffic &t) {
                                   t.stopSending();
                                   ASSERT_EQ(release_velorn_ipc_module(), VELORN_IPC_OK);
                                   t.callerGone = true;
                                   t.calleeGone = true;
                                   ASSERT_EQ(initial_velorn_ipc_module(), VELORN_IPC_OK);
                               }}),
    [](const auto &info) { return std::string(info.param.name); });

using Destroy = IpcTest;

// A response handler that destroys its own channel on its first call.
struct SelfDestroyer {
    velorn_ipc_handle channel = 0;
    std::atomic<int> calls{0};
    std::atomic<int> destroyResult{-1};
    Recorder done;
    static void onReply(velorn_ipc_handle handle, void *context, std::uint64_t token,
                        std::uint32_t methodId, std::uint32_t size, const char *buffer,
                        std::int32_t code) {
        auto &self = *static_cast<SelfDestroyer *>(context);
        if (self.calls.fetch_add(1) == 0)
            self.destroyResult = caller_destroy_ipc_channel(self.channel);
        Recorder::onMessage(handle, &self.done, token, methodId, size, buffer, code);
    }
};

TEST_F(Destroy, FromInsideItsOwnResponseHandlerReturnsAndStopsFurtherHandlers) {
    EchoCallee callee(/*silent=*/true);
    SelfDestroyer destroyer;
    destroyer.channel = connectCaller(callee.port());
    for (std::uint64_t token = 1; token <= 50; ++token)
        ASSERT_EQ(caller_async_send_ipc_request(destroyer.channel, &SelfDestroyer::onReply,
                                                &destroyer, token, kMethod, 1, "x", 5000),
                  VELORN_IPC_OK);
    ASSERT_TRUE(callee.requests().waitForMessages(50));
    // Once the first reply destroyed the caller, its connection closes and later responses may
    // be refused: only the first must go out.
    const auto requests = callee.requests().messages();
    ASSERT_EQ(callee_async_send_ipc_response(requests[0].handle, nullptr, nullptr,
                                             requests[0].token, kMethod, 1, "y", 5000),
              VELORN_IPC_OK);
    for (std::size_t i = 1; i < requests.size(); ++i)
        callee_async_send_ipc_response(requests[i].handle, nullptr, nullptr, requests[i].token,
                                       kMethod, 1, "y", 5000);

    ASSERT_TRUE(destroyer.done.waitForMessages(1));
    EXPECT_EQ(destroyer.destroyResult.load(), VELORN_IPC_OK);
    EchoCallee witness; // the other replies had their chance once another exchange went through
    Recorder replies;
    const auto channel = connectCaller(witness.port());
    ASSERT_EQ(sendText(channel, replies, 1, kMethod, "flush"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(1));
    EXPECT_EQ(destroyer.calls.load(), 1);
    EXPECT_EQ(caller_destroy_ipc_channel(destroyer.channel), VELORN_IPC_EINVAL);
    caller_destroy_ipc_channel(channel);
}

TEST_F(Destroy, ListenerFromInsideARequestHandlerClosesTheCallersConnection) {
    struct Callee {
        velorn_ipc_handle listener = 0;
        std::atomic<int> destroyResult{-1};
        static int onAccept(velorn_ipc_handle, void *context, velorn_ipc_handle connection) {
            return callee_async_recv_ipc_request(connection, &Callee::onRequest, context);
        }
        static void onRequest(velorn_ipc_handle, void *context, std::uint64_t, std::uint32_t,
                              std::uint32_t, const char *, std::int32_t) {
            auto &self = *static_cast<Callee *>(context);
            self.destroyResult = callee_destroy_ipc_channel(self.listener);
        }
    } callee;
    callee.listener = callee_create_ipc_channel_tcp("127.0.0.1", 0);
    ASSERT_EQ(callee_accept_ipc_channel(callee.listener, &Callee::onAccept, &callee), VELORN_IPC_OK);
    Recorder replies;
    const auto channel = connectCaller(callee_ipc_channel_port(callee.listener));

    ASSERT_EQ(sendText(channel, replies, 1, kMethod, "stop"), VELORN_IPC_OK);

    ASSERT_TRUE(replies.waitForMessages(1));
    EXPECT_EQ(replies.messages()[0].code, VELORN_IPC_ECONNLOST);
    EXPECT_EQ(callee.destroyResult.load(), VELORN_IPC_OK);
    caller_destroy_ipc_channel(channel);
}

// A response handler that holds its thread until the test lets it go.
struct BlockingHandler {
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> finished{false};
    static void onReply(velorn_ipc_handle, void *context, std::uint64_t, std::uint32_t,
                        std::uint32_t, const char *, std::int32_t) {
        auto &self = *static_cast<BlockingHandler *>(context);
        self.entered.set_value();
        self.released.wait();
        self.finished = true;
    }
};

TEST_F(Destroy, WaitsForAHandlerRunningOnAnotherThread) {
    EchoCallee callee;
    BlockingHandler handler;
    const auto channel = connectCaller(callee.port());
    ASSERT_EQ(caller_async_send_ipc_request(channel, &BlockingHandler::onReply, &handler, 1,
                                            kMethod, 1, "x", 5000),
              VELORN_IPC_OK);
    handler.entered.get_future().wait();

    auto destroyed = std::async(std::launch::async, [&] {
        const int result = caller_destroy_ipc_channel(channel);
        return std::make_pair(result, handler.finished.load());
    });
    // Not a timing assertion: destroy may only return after the handler did.
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    handler.release.set_value();

    const auto outcome = destroyed.get();
    EXPECT_EQ(outcome.first, VELORN_IPC_OK);
    EXPECT_TRUE(outcome.second);
}

// Calls that take a handle and must refuse one that names nothing of the right kind.
struct HandleCall {
    const char *name;
    bool callerSide;
    int (*call)(velorn_ipc_handle);
};

void ignoreMessage(velorn_ipc_handle, void *, std::uint64_t, std::uint32_t, std::uint32_t,
                   const char *, std::int32_t) {}
void ignoreEvent(velorn_ipc_handle, void *, std::int32_t) {}
int ignoreAccept(velorn_ipc_handle, void *, velorn_ipc_handle) { return 0; }

const HandleCall kCallerCalls[] = {
    {"SetLost", true, [](velorn_ipc_handle h) { return caller_set_connection_lost_callback(h, ignoreEvent, nullptr); }},
    {"SetConnected", true, [](velorn_ipc_handle h) { return caller_set_on_connected_callback(h, ignoreEvent, nullptr); }},
    {"Send", true, [](velorn_ipc_handle h) { return caller_async_send_ipc_request(h, ignoreMessage, nullptr, 1, 1, 1, "x", 100); }},
    {"DestroyCaller", true, [](velorn_ipc_handle h) { return caller_destroy_ipc_channel(h); }},
};
const HandleCall kCalleeCalls[] = {
    {"Accept", false, [](velorn_ipc_handle h) { return callee_accept_ipc_channel(h, ignoreAccept, nullptr); }},
    {"Receive", false, [](velorn_ipc_handle h) { return callee_async_recv_ipc_request(h, ignoreMessage, nullptr); }},
    {"Respond", false, [](velorn_ipc_handle h) { return callee_async_send_ipc_response(h, nullptr, nullptr, 1, 1, 1, "x", 100); }},
    {"DestroyCallee", false, [](velorn_ipc_handle h) { return callee_destroy_ipc_channel(h); }},
};

class StaleHandle : public IpcTest, public ::testing::WithParamInterface<HandleCall> {};

TEST_P(StaleHandle, IsRefusedWithInvalidWhenNoneUnknownDestroyedOrOfTheOtherSide) {
    EchoCallee callee;
    const auto caller = connectCaller(callee.port());
    const auto destroyedCaller = connectCaller(callee.port());
    const auto destroyedCallee = callee_create_ipc_channel_tcp("127.0.0.1", 0);
    ASSERT_EQ(caller_destroy_ipc_channel(destroyedCaller), VELORN_IPC_OK);
    ASSERT_EQ(callee_destroy_ipc_channel(destroyedCallee), VELORN_IPC_OK);
    const auto otherSide = GetParam().callerSide ? callee.handle() : caller;

    for (const velorn_ipc_handle handle :
         {velorn_ipc_handle{0}, velorn_ipc_handle{987654321}, destroyedCaller, destroyedCallee, otherSide})
        EXPECT_EQ(GetParam().call(handle), VELORN_IPC_EINVAL) << "handle " << handle;
    caller_destroy_ipc_channel(caller);
}

std::string handleCallName(const ::testing::TestParamInfo<HandleCall> &info) {
    return info.param.name;
}
INSTANTIATE_TEST_SUITE_P(Caller, StaleHandle, ::testing::ValuesIn(kCallerCalls), handleCallName);
INSTANTIATE_TEST_SUITE_P(Callee, StaleHandle, ::testing::ValuesIn(kCalleeCalls), handleCallName);

using Arguments = IpcTest;

TEST_F(Arguments, BadOnesAreRefusedWithoutCallingAnyHandler) {
    EXPECT_EQ(caller_create_ipc_channel_tcp(nullptr, 80), 0u);
    EXPECT_EQ(caller_create_ipc_channel_tcp("", 80), 0u);
    EXPECT_EQ(caller_create_ipc_channel_tcp("127.0.0.1", 0), 0u);
    EXPECT_EQ(caller_create_ipc_channel_tcp("127.0.0.1", 65536), 0u);
    EXPECT_EQ(callee_create_ipc_channel_tcp(nullptr, 0), 0u);
    EXPECT_EQ(callee_create_ipc_channel_tcp("127.0.0.1", -1), 0u);
    EXPECT_EQ(callee_create_ipc_channel_tcp("127.0.0.1", 65536), 0u);
    EXPECT_EQ(callee_create_ipc_channel_tcp("192.0.2.1", 0), 0u); // not an address of this host
    EXPECT_EQ(callee_ipc_channel_port(0), 0);

    EchoCallee callee;
    EXPECT_EQ(callee_create_ipc_channel_tcp("127.0.0.1", callee.port()), 0u); // in use
    EXPECT_EQ(callee_accept_ipc_channel(callee.handle(), nullptr, nullptr), VELORN_IPC_EINVAL);
    const auto channel = connectCaller(callee.port());
    EXPECT_EQ(caller_async_send_ipc_request(channel, nullptr, nullptr, 1, 1, 0, nullptr, 100),
              VELORN_IPC_EINVAL);
    Recorder replies;
    EXPECT_EQ(caller_async_send_ipc_request(channel, &Recorder::onMessage, &replies, 1, 1, 4,
                                            nullptr, 100),
              VELORN_IPC_EINVAL);
    // An empty request is fine, and a later one shows that no handler ran for the refused ones.
    EXPECT_EQ(caller_async_send_ipc_request(channel, &Recorder::onMessage, &replies, 2, 1, 0,
                                            nullptr, 5000),
              VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(1));
    EXPECT_EQ(replies.messages().size(), 1u);
    EXPECT_EQ(replies.messages()[0].token, 2u);
    caller_destroy_ipc_channel(channel);
}

TEST(Module, RefusesCallsWhileNotInitialised) {
    EXPECT_EQ(release_velorn_ipc_module(), VELORN_IPC_EINVAL);
    EXPECT_EQ(caller_create_ipc_channel_tcp("127.0.0.1", 80), 0u);
    EXPECT_EQ(callee_create_ipc_channel_tcp("127.0.0.1", 0), 0u);
    EXPECT_EQ(caller_destroy_ipc_channel(1), VELORN_IPC_EINVAL);
    EXPECT_EQ(callee_destroy_ipc_channel(1), VELORN_IPC_EINVAL);
}

TEST(Module, LastReleaseDestroysChannelsAndHandlesAreNeverReused) {
    ASSERT_EQ(initial_velorn_ipc_module(), VELORN_IPC_OK);
    ASSERT_EQ(initial_velorn_ipc_module(), VELORN_IPC_OK);
    auto callee = std::make_unique<EchoCallee>();
    Recorder replies;
    const auto channel = connectCaller(callee->port());

    ASSERT_EQ(release_velorn_ipc_module(), VELORN_IPC_OK); // one user left
    ASSERT_EQ(sendText(channel, replies, 1, kMethod, "still here"), VELORN_IPC_OK);
    ASSERT_TRUE(replies.waitForMessages(1));
    EXPECT_EQ(replies.messages()[0].code, VELORN_IPC_OK);
    const auto oldListener = callee->handle();

    ASSERT_EQ(release_velorn_ipc_module(), VELORN_IPC_OK);
    EXPECT_EQ(caller_destroy_ipc_channel(channel), VELORN_IPC_EINVAL);
    EXPECT_EQ(callee_ipc_channel_port(oldListener), 0);
    EXPECT_EQ(release_velorn_ipc_module(), VELORN_IPC_EINVAL);

    ASSERT_EQ(initial_velorn_ipc_module(), VELORN_IPC_OK);
    const auto fresh = callee_create_ipc_channel_tcp("127.0.0.1", 0);
    EXPECT_NE(fresh, 0u);
    EXPECT_NE(fresh, oldListener);
    EXPECT_NE(fresh, channel);
    EXPECT_EQ(callee_destroy_ipc_channel(oldListener), VELORN_IPC_EINVAL);
    callee.reset(); // its handle is stale: destroying it is refused, nothing else happens
    EXPECT_EQ(release_velorn_ipc_module(), VELORN_IPC_OK);
}

TEST(Token, IsNeverZeroAndUniqueAcrossThreads) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 50000;
    std::vector<std::vector<std::uint64_t>> drawn(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&drawn, t] {
            for (int i = 0; i < kPerThread; ++i)
                drawn[t].push_back(create_ipc_token());
        });
    for (auto &thread : threads)
        thread.join();
    std::set<std::uint64_t> unique;
    for (const auto &tokens : drawn)
        unique.insert(tokens.begin(), tokens.end());
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_EQ(unique.count(0), 0u);
}

} // namespace
