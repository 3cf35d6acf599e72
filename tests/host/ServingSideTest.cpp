// The serving side: registry rules, listening addresses, method id 0 in both
// dispatchers, and end to end over loopback TCP with a client stub: every
// action, empty answers, answers too large for one frame, and a peer that
// never answers; the worker pool: its bound, answers off the I/O loop and
// what stopping does to requests it holds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "DataServiceExports.h"
#include "DataServiceStub.h"
#include "SampleRecords.h"
#include "ServingHandler.h"
#include "ServingWorkers.h"

namespace DataServiceNamespace {
namespace {

constexpr uint32 trackers = 0x6976F3E8u;
constexpr uint32 devicesId = Action<RecvResponseCallbackdevices_id>::methodId;

template <class Record, class = void> struct HasRequestHeader : std::false_type {};
template <class Record>
struct HasRequestHeader<Record, std::void_t<decltype(std::declval<Record &>().request_data)>>
    : std::true_type {};

// The answer these tests serve: the response filled with sampleFill(response,
// 1), and the request's header echoed into error.request_data.
template <class Callback>
void sampleAnswer(const typename Action<Callback>::Request &request,
                  typename Action<Callback>::Response &response) {
    testing::sampleFill(response, 1);
    if constexpr (HasRequestHeader<typename Action<Callback>::Request>::value)
        response.error.request_data = request.request_data;
}

TEST(Registry, ServesWithTheFirstEntryOfAMethodIdUntilItIsUnregistered) {
    std::vector<int> served;
    using Handler = ActionServingHandler<RecvResponseCallbacktrackers>;
    Handler first([&](auto &, auto &) { served.push_back(1); });
    Handler second([&](auto &, auto &) { served.push_back(2); });
    DataServiceStub stub(DS_DEFINITION_FILE);
    // The answers go to connection 0, which the library refuses.
    auto deliver = [&](uint32 methodId) {
        DataServiceStub::onRequestReceived(0, &stub, 1, methodId, 0, nullptr, 0);
    };
    EXPECT_EQ(stub.registerHandler(trackers, nullptr, nullptr), 0);
    EXPECT_EQ(stub.registerHandler(trackers, &first, nullptr), 1);
    stub.registerHandler(trackers, &second, nullptr);
    deliver(trackers);
    EXPECT_EQ(stub.unregisterHandler(0x12345678u), 1); // never registered: no change
    EXPECT_EQ(stub.unregisterHandler(trackers), 1);
    deliver(trackers);
    EXPECT_EQ(stub.unregisterHandler(trackers), 1);
    deliver(trackers); // nothing registered: nobody serves it
    EXPECT_EQ(served, (std::vector<int>{1, 2}));
}

// Whether a TCP connection to address:port is accepted (or refused at once).
bool accepts(const char *address, int port) {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &peer.sin_addr);
    const bool connected = ::connect(socket, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0;
    ::close(socket);
    return connected;
}

TEST(StartListening, ListensOnTheGivenAddressOrTheStubsHost) {
    // All of 127/8 reaches the loopback interface, so a second loopback address
    // tells a socket bound to 127.0.0.1 from one bound to every address.
    struct {
        const char *connectHost; // given to connect before listening
        const char *address;     // null: the one-argument form, on the stub's host
        bool onFirst, onSecond;  // accepts on 127.0.0.1, on 127.0.0.2
    } const cases[] = {{"127.0.0.2", nullptr, false, true}, {"0.0.0.0", "", true, false},
                       {"127.0.0.2", "127.0.0.1", true, false},
                       {"127.0.0.1", "127.0.0.2", false, true},
                       {"127.0.0.1", "0.0.0.0", true, true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.connectHost << " " << (c.address ? c.address : "-"));
        DataServiceStub stub(DS_DEFINITION_FILE);
        stub.connect(c.connectHost, 1, nullptr);
        ASSERT_EQ(c.address ? stub.startListening(c.address, 0) : stub.startListening(0), 1);
        const int port = stub.listeningPort();
        EXPECT_EQ(stub.host, c.connectHost); // the client's host is not touched
        EXPECT_EQ(accepts("127.0.0.1", port), c.onFirst);
        EXPECT_EQ(accepts("127.0.0.2", port), c.onSecond);
    }
}

TEST(StartListening, FailsWithNoChannelWhenTheAddressCannotBeBound) {
    DataServiceStub stub(DS_DEFINITION_FILE);
    // A documentation address, no local one.
    EXPECT_EQ(stub.startListening("203.0.113.1", 0), 0);
    EXPECT_EQ(stub.listeningChannel, 0u);
    EXPECT_EQ(stub.listeningPort(), 0);
}

TEST(MethodIdZero, ReportsTheTransportStatusOnlyToACallbackIpcErrorInBothDispatchers) {
    DataServiceStub stub(DS_DEFINITION_FILE);
    CallbackIpcError ipcError;
    RecvResponseCallbacktrackers trackersCallback;
    struct {
        uint32 methodId;
        bool ipcErrorCallback;
        int32 code, expectedFlag, expectedErrorCode;
    } const cases[] = {{0, true, 0, 1, 1}, {0, true, 6, 1, 0}, {0, false, 0, 0, 42},
                       {0x1234u, true, 0, 0, 42}}; // the last: a method id of no action
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.methodId << " " << c.ipcErrorCallback << c.code);
        CallbackBase *callback = c.ipcErrorCallback ? static_cast<CallbackBase *>(&ipcError)
                                                    : &trackersCallback;
        ServiceError served, received;
        served.errorCode = received.errorCode = 42;
        ResponseBuffer answer;
        stub.codec.dispatchRequest(c.methodId, callback, "x", 1, &answer, c.code, &served);
        EXPECT_EQ(answer.data(), nullptr);
        EXPECT_EQ(stub.codec.dispatchResponse(c.methodId, callback, nullptr, 0, c.code, &received),
                  c.ipcErrorCallback ? 1 : 0);
        for (const ServiceError *record : {&served, &received}) {
            EXPECT_EQ(completionFlag(*record), c.expectedFlag);
            EXPECT_EQ(record->errorCode, c.expectedErrorCode);
        }
    }
}

void *connectClient(int port, ServiceError *status = nullptr) {
    return create_service(const_cast<char *>("127.0.0.1"), port,
                          const_cast<char *>(DS_DEFINITION_FILE), status);
}

// One request of an action as a caller makes it, released at the end.
template <class Callback> struct ClientCall {
    using Response = typename Action<Callback>::Response;
    typename Action<Callback>::Request request;
    Response response;
    void *callback = create_callback_functor(const_cast<char *>(Action<Callback>::name));
    ClientCall() {
        if constexpr (std::is_same_v<Response, DeviceIdImageResData>)
            response.image_file_path = "/dev/null/image"; // no folder: no image file
    }
    ~ClientCall() {
        destroy_callback_functor(const_cast<char *>(Action<Callback>::name), callback);
        testing::releaseOpaque(response);
    }
    // Sends on client and waits (30 s at most) for the completion flag.
    bool exchange(void *client) {
        if (send_service_request(client, const_cast<char *>(Action<Callback>::name), &request,
                                 callback, &response) != 1)
            return false;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (completionFlag(response.error) != 1 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return completionFlag(response.error) == 1;
    }
};

// Sends every action with every field set (sampleFill(request, 5)) and checks
// that each caller's record receives the sample answer intact.
void exchangeEveryAction(void *client) {
    forEachAction([&](auto *tag) {
        using Callback = std::remove_pointer_t<decltype(tag)>;
        ClientCall<Callback> call;
        testing::sampleFill(call.request, 5);
        ASSERT_TRUE(call.exchange(client)) << Action<Callback>::name;
        typename Action<Callback>::Response expected;
        sampleAnswer<Callback>(call.request, expected);
        EXPECT_EQ(testing::recordDifference(call.response, expected), "") << Action<Callback>::name;
        testing::releaseOpaque(expected);
    });
}

TEST(EveryAction, CarriesEveryFieldOfTheRequestAndOfTheAnswerOverLoopback) {
    std::mutex lock; // guards requestDifferences, written on the server's IPC threads
    std::map<std::string, std::string> requestDifferences; // action name: first difference
    std::vector<std::unique_ptr<ServingHandler>> handlers; // outlive the server's channels
    DataServiceStub server(DS_DEFINITION_FILE);
    forEachAction([&](auto *tag) {
        using Callback = std::remove_pointer_t<decltype(tag)>;
        handlers.push_back(std::make_unique<ActionServingHandler<Callback>>(
            [&](const auto &request, auto &response) {
                typename Action<Callback>::Request sent;
                testing::sampleFill(sent, 5);
                std::lock_guard<std::mutex> guard(lock);
                requestDifferences[Action<Callback>::name] = testing::recordDifference(request, sent);
                testing::releaseOpaque(sent);
                sampleAnswer<Callback>(request, response);
            }));
        server.registerHandler(Action<Callback>::methodId, handlers.back().get(), nullptr);
    });
    ASSERT_EQ(server.startListening(0), 1);
    void *client = connectClient(server.listeningPort());
    exchangeEveryAction(client);
    destroy_service(client);
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(requestDifferences.size(), actionCount);
    for (const auto &[action, difference] : requestDifferences)
        EXPECT_EQ(difference, "") << action;
}

TEST(EmptyAnswer, CompletesTheRecordWithADefaultOneWhenServingFailsOrNobodyServes) {
    ActionServingHandler<RecvResponseCallbackdevices_id> failing([](auto &, auto &response) {
        testing::sampleFill(response, 1);
        throw std::runtime_error("serving failed");
    });
    DataServiceStub server(DS_DEFINITION_FILE);
    server.registerHandler(Action<RecvResponseCallbackdevices_id>::methodId, &failing, nullptr);
    ASSERT_EQ(server.startListening(0), 1);
    ServiceError status;
    void *client = connectClient(server.listeningPort(), &status);
    ClientCall<RecvResponseCallbackdevices_id> failed;
    ClientCall<RecvResponseCallbackdevices> unserved;
    testing::sampleFill(failed.response, 4);
    testing::sampleFill(unserved.response, 4);
    bool completed = failed.exchange(client) && unserved.exchange(client);
    destroy_service(client); // no connection event can follow the reads below
    ASSERT_TRUE(completed);
    EXPECT_EQ(testing::recordDifference(failed.response, DeviceIdResData{}), "");
    EXPECT_EQ(testing::recordDifference(unserved.response, DeviceResData{}), "");
    EXPECT_EQ(completionFlag(status), 1);
    EXPECT_EQ(status.errorCode, 1);
}

// A handler whose answer limit is set by the test; it records what the
// serving side told it. The hooks run on an IPC thread; the test reads after
// the reply arrived.
class LimitedHandler : public ActionServingHandler<RecvResponseCallbacktrackers> {
public:
    LimitedHandler()
        : ActionServingHandler([](auto &request, auto &response) {
              sampleAnswer<RecvResponseCallbacktrackers>(request, response);
          }) {}
    std::size_t answerLimit() const override { return limit; }
    void answerTooLarge(uint32, void *response, std::size_t encodedSize) override {
        refused = encodedSize;
        static_cast<TrackerResData *>(response)->error.errorCode = 413;
    }
    void answerEncoded(uint32, std::size_t encodedSize) override { sent = encodedSize; }
    std::atomic<std::size_t> limit{0}, refused{0}, sent{0};
};

TEST(AnswerLimit, ReplacesAnAnswerAboveTheLimitByTheHandlersErrorAnswer) {
    LimitedHandler handler;
    DataServiceStub server(DS_DEFINITION_FILE);
    server.registerHandler(trackers, &handler, nullptr);
    ASSERT_EQ(server.startListening(0), 1);
    void *client = connectClient(server.listeningPort());
    TrackerResData full;
    sampleAnswer<RecvResponseCallbacktrackers>(TrackerReqData{}, full);
    const std::size_t fullSize = encodedBytes(server.codec, full).size();
    TrackerResData refusedAnswer;
    refusedAnswer.error.errorCode = 413;
    const std::size_t refusedSize = encodedBytes(server.codec, refusedAnswer).size();
    struct {
        std::size_t limit, refused, sent;
        int32 errorCode;
        std::size_t trackers;
    } const cases[] = {{fullSize, 0, fullSize, full.error.errorCode, 2},
                       {fullSize - 1, fullSize, refusedSize, 413, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.limit);
        handler.limit = c.limit;
        handler.refused = 0;
        ClientCall<RecvResponseCallbacktrackers> call;
        ASSERT_TRUE(call.exchange(client));
        EXPECT_EQ(call.response.error.errorCode, c.errorCode);
        EXPECT_EQ(call.response.tracker_data_list.size(), c.trackers);
        EXPECT_EQ(handler.refused.load(), c.refused);
        EXPECT_EQ(handler.sent.load(), c.sent);
    }
    destroy_service(client);
}

TEST(SilentPeer, MakesTheCallerReportATimeout) {
    initial_velorn_ipc_module();
    velorn_ipc_handle listener = callee_create_ipc_channel_tcp("127.0.0.1", 0);
    auto accept = [](velorn_ipc_handle, void *, velorn_ipc_handle connection) {
        return callee_async_recv_ipc_request(
            connection, [](velorn_ipc_handle, void *, uint64_t, uint32_t, uint32_t, const char *,
                           int32_t) {}, // never answers
            nullptr);
    };
    ASSERT_EQ(callee_accept_ipc_channel(listener, accept, nullptr), 0);
    void *client = connectClient(callee_ipc_channel_port(listener));
    ClientCall<RecvResponseCallbackdevices_id> call;
    EXPECT_TRUE(call.exchange(client));
    EXPECT_EQ(call.response.error.errorCode, 6);
    EXPECT_EQ(call.response.error.errorMesg, "Sending command timeout, please try again !\n");
    destroy_service(client);
    callee_destroy_ipc_channel(listener);
    release_velorn_ipc_module();
}

// Holds every thread that passes it until the test opens it; counts them.
class Gate {
public:
    void pass() {
        std::unique_lock<std::mutex> guard(lock_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait(guard, [this] { return open_; });
    }
    void open() {
        std::lock_guard<std::mutex> guard(lock_);
        open_ = true;
        changed_.notify_all();
    }
    // Waits (30 s at most) until count threads have arrived.
    bool arrived(int count) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(30),
                                 [&] { return arrived_ >= count; });
    }

private:
    std::mutex lock_; // guards the two fields; threads of the pool and the test
    std::condition_variable changed_;
    int arrived_ = 0;
    bool open_ = false;
};

// Jobs held at a gate fill every thread, then the queue; the rest is
// refused. A job that waited longer than the pool's maxWait (none, or a
// day) runs late.
TEST(ServingWorkers, RunEveryJobTheyAcceptAndRefuseBeyondTheirCapacity) {
    using std::chrono::hours;
    struct {
        unsigned threads;
        std::size_t capacity;
        ServingWorkers::Clock::duration maxWait;
    } const cases[] = {{1, 1, hours(24)}, {1, 3, hours(24)}, {2, 2, hours(24)}, {1, 3, hours(0)}};
    for (const auto &c : cases) {
        const bool queuedLate = c.maxWait == hours(0);
        SCOPED_TRACE(::testing::Message() << c.threads << " threads, " << c.capacity << ", "
                                          << (queuedLate ? "no wait" : "a day"));
        Gate gate;
        std::mutex lock; // guards ran, written by the pool's threads
        std::vector<std::pair<int, bool>> ran; // job number, late
        auto job = [&](int number) {
            return [&, number](bool late) {
                gate.pass();
                std::lock_guard<std::mutex> guard(lock);
                ran.emplace_back(number, late);
            };
        };
        ServingWorkers workers(c.threads, c.capacity, c.maxWait);
        int number = 0;
        for (unsigned t = 0; t < c.threads; ++t)
            ASSERT_TRUE(workers.submit(job(number++)));
        ASSERT_TRUE(gate.arrived(static_cast<int>(c.threads))); // every thread holds a job
        std::size_t accepted = 0;
        for (std::size_t i = 0; i < c.capacity + 2; ++i)
            accepted += workers.submit(job(number++));
        EXPECT_EQ(accepted, c.capacity);
        EXPECT_EQ(workers.queued(), c.capacity);
        gate.open();
        workers.finish();
        EXPECT_FALSE(workers.submit(job(-1)));
        std::lock_guard<std::mutex> guard(lock);
        ASSERT_EQ(ran.size(), c.threads + c.capacity);
        for (std::size_t i = 0; i < ran.size(); ++i) {
            if (c.threads == 1) { // one thread takes them in order
                EXPECT_EQ(ran[i].first, static_cast<int>(i));
            }
            if (ran[i].first >= static_cast<int>(c.threads)) { // queued behind the gate
                EXPECT_EQ(ran[i].second, queuedLate) << ran[i].first;
            }
        }
    }
}

// devices_id served on the workers, each request held at the gate; its busy
// answer carries 503. Other actions stay on the I/O thread.
class GatedHandler : public ActionServingHandler<RecvResponseCallbackdevices_id> {
public:
    explicit GatedHandler(Gate &gate)
        : ActionServingHandler([&gate](const DeviceIdReqData &request, DeviceIdResData &response) {
              gate.pass();
              response.device_data.id = request.id;
              response.error.errorCode = 200;
          }) {}
    bool servesOnWorker(uint32 methodId) const override { return methodId == devicesId; }
    void answerBusy(uint32, const void *request, void *response) override {
        auto &answer = *static_cast<DeviceIdResData *>(response);
        answer.device_data.id = static_cast<const DeviceIdReqData *>(request)->id;
        answer.error.errorCode = 503;
    }
};

// count devices_id requests with ids "0", "1", ... sent on one connection
// without waiting.
struct DeviceCalls {
    explicit DeviceCalls(std::size_t count) : calls(count) {
        for (std::size_t i = 0; i < count; ++i)
            calls[i].request.id = std::to_string(i);
    }
    bool send(void *client, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            if (send_service_request(client, const_cast<char *>("devices_id"), &calls[i].request,
                                     calls[i].callback, &calls[i].response) != 1)
                return false;
        return true;
    }
    static bool done(const ClientCall<RecvResponseCallbackdevices_id> &call) {
        return completionFlag(call.response.error) == 1;
    }
    // Waits (30 s at most) until count of them completed.
    bool completed(std::size_t count) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (doneCount() < count && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return doneCount() >= count;
    }
    std::size_t doneCount() const {
        return static_cast<std::size_t>(std::count_if(calls.begin(), calls.end(), done));
    }
    std::vector<ClientCall<RecvResponseCallbackdevices_id>> calls;
};

// One request held by the worker, a full queue behind it and a few more:
// the few are refused at once with the busy answer, a trackers request on
// the same connection is answered while the worker still holds its request,
// and once the gate opens every queued request gets its own answer.
TEST(ServingWorkers, AnswerOffTheIoLoopAndRefuseWhatFindsTheQueueFull) {
    constexpr std::size_t capacity = ServingWorkers::defaultCapacity, refused = 3;
    constexpr std::size_t total = 1 + capacity + refused;
    Gate gate;
    GatedHandler gated(gate);
    LimitedHandler quick;
    quick.limit = VELORN_IPC_MAX_PAYLOAD;
    DataServiceStub server(DS_DEFINITION_FILE);
    server.registerHandler(devicesId, &gated, nullptr);
    server.registerHandler(trackers, &quick, nullptr);
    ASSERT_EQ(server.startListening("127.0.0.1", 0), 1);
    void *client = connectClient(server.listeningPort());
    DeviceCalls devices(total);
    ASSERT_TRUE(devices.send(client, 0, 1));
    ASSERT_TRUE(gate.arrived(1)); // the worker holds the first
    ASSERT_TRUE(devices.send(client, 1, total));
    ASSERT_TRUE(devices.completed(refused));
    ClientCall<RecvResponseCallbacktrackers> other;
    ASSERT_TRUE(other.exchange(client));
    EXPECT_EQ(other.response.tracker_data_list.size(), 2u);
    EXPECT_EQ(devices.doneCount(), refused); // nothing the worker holds came back yet
    gate.open();
    ASSERT_TRUE(devices.completed(total));
    for (std::size_t i = 0; i < total; ++i) {
        EXPECT_EQ(devices.calls[i].response.device_data.id, std::to_string(i));
        EXPECT_EQ(devices.calls[i].response.error.errorCode, i > capacity ? 503 : 200) << i;
    }
    destroy_service(client);
}

// Stopping while the worker holds requests: each way of stopping lets the
// worker answer everything it took before the connections close, and joins
// it. Where the workers are told first, a request arriving after that is
// answered busy at once, and only then is the held one let go.
TEST(ServingWorkers, AnswerWhatTheyHoldWhenTheServingSideStops) {
    using Stub = std::unique_ptr<DataServiceStub>;
    struct {
        std::function<void(Stub &)> stop;
        bool refusesFirst; // the workers refuse new work while the channel still reads
    } const cases[] = {
        {[](Stub &server) { EXPECT_EQ(server->stopListening(), 1); }, true},
        {[](Stub &server) { server.reset(); }, true},
        {[](Stub &server) {
             EXPECT_EQ(callee_drain_ipc_channel(server->listeningChannel, 30000), 0);
             server.reset();
         },
         false}};
    constexpr std::size_t held = 5;
    for (const auto &c : cases) {
        Gate gate;
        GatedHandler gated(gate); // outlives the stub
        auto server = std::make_unique<DataServiceStub>(DS_DEFINITION_FILE);
        server->registerHandler(devicesId, &gated, nullptr);
        ASSERT_EQ(server->startListening("127.0.0.1", 0), 1);
        void *client = connectClient(server->listeningPort());
        // Room for the probes sent after stopping began, one per round.
        DeviceCalls devices(held + ServingWorkers::defaultCapacity);
        ASSERT_TRUE(devices.send(client, 0, 1));
        ASSERT_TRUE(gate.arrived(1));
        ASSERT_TRUE(devices.send(client, 1, held));
        // A request answered on the I/O thread after the others: they are queued.
        ClientCall<RecvResponseCallbacktrackers> marker;
        ASSERT_TRUE(marker.exchange(client));
        std::thread stopping([&] { c.stop(server); });
        std::size_t sent = held;
        if (c.refusesFirst) {
            // A probe either joins the queue (and is answered later) or,
            // once the workers refuse, comes back busy at once; a marker
            // behind it tells which.
            bool refused = false;
            while (!refused && sent < devices.calls.size()) {
                ClientCall<RecvResponseCallbacktrackers> behind;
                EXPECT_TRUE(devices.send(client, sent, sent + 1) && behind.exchange(client));
                refused = DeviceCalls::done(devices.calls[sent++]);
            }
            EXPECT_EQ(devices.calls[sent - 1].response.error.errorCode, 503);
        }
        gate.open();
        stopping.join();
        ASSERT_TRUE(devices.completed(sent));
        const std::size_t answered = c.refusesFirst ? sent - 1 : sent; // the last probe: busy
        for (std::size_t i = 0; i < answered; ++i)
            EXPECT_EQ(devices.calls[i].response.error.errorCode, 200) << i;
        destroy_service(client);
    }
}

} // namespace
} // namespace DataServiceNamespace
