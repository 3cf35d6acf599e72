// Exchanges of one small request ("devices_id") over loopback: through the
// real client (the exported functions) and the serving side of a second
// service object in the same process, and through plain sockets with frames
// of the same sizes as the floor.
//
//   benchmark thread                 IPC threads (2)
//   ----------------                 ---------------
//   send_service_request  ------>   serving side: decode, fill, encode
//                                   client: decode, complete, processingOK = 1
//   poll processingOK     <------'
//
// RoundTrip sends one request at a time; InFlight sends a batch of requests
// without waiting, then waits for every one of them. The Ipc variants do the
// same through the IPC library alone (payloads of the same sizes, no codec),
// the RawTcp ones through plain sockets.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "BenchEnvironment.h"
#include "BenchRecords.h"
#include "DataServiceExports.h"
#include "DataServiceStub.h"
#include "RawTcpFloor.h"
#include "ServingHandler.h"
#include "velorn_ipc.h"

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *actionName = "devices_id";

// Long enough for a loaded machine; only a broken exchange waits it out.
constexpr std::chrono::seconds completionDeadline{30};

// Polls until done() as the binding's caller polls its completion flag,
// yielding the core to the IPC threads between reads.
template <typename Done> bool waitUntil(Done done) {
    const auto deadline = Clock::now() + completionDeadline;
    for (unsigned spins = 1; !done(); ++spins) {
        if (spins % 1024 == 0 && Clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

bool waitForCompletion(const ServiceError &error) {
    return waitUntil([&] { return completionFlag(error) == 1; });
}

// A serving stub answering "devices_id" and a client connected to it.
// Benchmark thread only; the handler runs on IPC threads and touches only the
// records it is given.
class ServiceLoopback {
public:
    ServiceLoopback() {
        server_.registerHandler(Action<RecvResponseCallbackdevices_id>::methodId, &handler_,
                                nullptr);
        if (server_.startListening(0) != 1)
            throw std::runtime_error("serving side: cannot listen on 127.0.0.1:0");
        client = create_service(const_cast<char *>("127.0.0.1"), server_.listeningPort(),
                                const_cast<char *>(DS_DEFINITION_FILE), &status_);
        callback = create_callback_functor(const_cast<char *>(actionName));
        if (client == nullptr || callback == nullptr || !waitForCompletion(status_) ||
            status_.errorCode != 1) {
            release();
            throw std::runtime_error("client: no connection to the serving side");
        }
    }
    ~ServiceLoopback() { release(); }
    ServiceLoopback(const ServiceLoopback &) = delete;
    ServiceLoopback &operator=(const ServiceLoopback &) = delete;

    bool send(const DeviceIdReqData &request, DeviceIdResData &response) {
        return send_service_request(client, const_cast<char *>(actionName),
                                    const_cast<DeviceIdReqData *>(&request), callback,
                                    &response) == 1;
    }

    void *client = nullptr;   // owned; destroyed before the serving stub
    void *callback = nullptr; // owned

private:
    void release() {
        if (client != nullptr)
            destroy_service(client);
        client = nullptr;
        if (callback != nullptr)
            destroy_callback_functor(const_cast<char *>(actionName), callback);
        callback = nullptr;
    }

    ServiceError status_; // written by the client's connection handler
    // Declared before the stub: it must outlive the stub's channels.
    ActionServingHandler<RecvResponseCallbackdevices_id> handler_{&fillDeviceAnswer};
    DataServiceStub server_{DS_DEFINITION_FILE};
};

// Payload sizes of the request and the answer, as the service encodes them.
struct ExchangeSizes {
    std::size_t request = 0;
    std::size_t response = 0;
};

ExchangeSizes exchangeSizes() {
    ServiceCodec codec;
    codec.createTool(DS_DEFINITION_FILE);
    const DeviceIdReqData request = deviceRequest();
    DeviceIdResData answer;
    fillDeviceAnswer(request, answer);
    return {encodedBytes(codec, request).size(), encodedBytes(codec, answer).size()};
}

// The IPC library alone: a caller channel and a callee channel in this process
// that answers every request at once from its handler, with payloads of the
// service's sizes and no codec. Benchmark thread only; the handlers run on IPC
// threads and touch only the constant payload and the flag they are given.
class IpcLoopback {
public:
    explicit IpcLoopback(const ExchangeSizes &sizes)
        : request_(sizes.request, 'q'), response_(sizes.response, 'a') {
        initial_velorn_ipc_module();
        listener_ = callee_create_ipc_channel_tcp("127.0.0.1", 0);
        if (listener_ != 0 && callee_accept_ipc_channel(listener_, &onAccept, this) == 0)
            caller_ = caller_create_ipc_channel_tcp("127.0.0.1", callee_ipc_channel_port(listener_));
        if (caller_ == 0) {
            release();
            throw std::runtime_error("velorn_ipc: no loopback channels");
        }
    }
    ~IpcLoopback() { release(); }
    IpcLoopback(const IpcLoopback &) = delete;
    IpcLoopback &operator=(const IpcLoopback &) = delete;

    // Sets done to 1 once answered (or failed).
    bool send(std::atomic<int> &done) {
        return caller_async_send_ipc_request(caller_, &onReply, &done, create_ipc_token(), 7,
                                             static_cast<std::uint32_t>(request_.size()),
                                             request_.data(), 5000) == VELORN_IPC_OK;
    }

private:
    static int onAccept(velorn_ipc_handle, void *context, velorn_ipc_handle connection) {
        return callee_async_recv_ipc_request(connection, &onRequest, context);
    }
    static void onRequest(velorn_ipc_handle connection, void *context, std::uint64_t token,
                          std::uint32_t methodId, std::uint32_t, const char *, std::int32_t) {
        const auto &response = static_cast<IpcLoopback *>(context)->response_;
        callee_async_send_ipc_response(connection, nullptr, nullptr, token, methodId,
                                       static_cast<std::uint32_t>(response.size()),
                                       response.data(), 5000);
    }
    static void onReply(velorn_ipc_handle, void *context, std::uint64_t, std::uint32_t,
                        std::uint32_t, const char *, std::int32_t) {
        static_cast<std::atomic<int> *>(context)->store(1, std::memory_order_release);
    }
    void release() {
        if (caller_ != 0)
            caller_destroy_ipc_channel(caller_);
        if (listener_ != 0)
            callee_destroy_ipc_channel(listener_);
        caller_ = listener_ = 0;
        release_velorn_ipc_module();
    }

    const std::string request_;
    const std::string response_;
    velorn_ipc_handle listener_ = 0;
    velorn_ipc_handle caller_ = 0;
};

std::unique_ptr<ServiceLoopback> g_service; // benchmark thread only
std::unique_ptr<IpcLoopback> g_ipc;         // benchmark thread only
std::unique_ptr<RawTcpFloor> g_floor;       // benchmark thread only

// The environments, made on first use; null (and the benchmark skipped) when
// they cannot be set up.
ServiceLoopback *service(benchmark::State &state) {
    try {
        if (!g_service)
            g_service = std::make_unique<ServiceLoopback>();
    } catch (const std::exception &error) {
        state.SkipWithError(error.what());
    }
    return g_service.get();
}

IpcLoopback *ipcLoopback(benchmark::State &state) {
    try {
        if (!g_ipc)
            g_ipc = std::make_unique<IpcLoopback>(exchangeSizes());
    } catch (const std::exception &error) {
        state.SkipWithError(error.what());
    }
    return g_ipc.get();
}

RawTcpFloor *rawFloor(benchmark::State &state) {
    try {
        if (!g_floor) {
            const ExchangeSizes sizes = exchangeSizes();
            g_floor = std::make_unique<RawTcpFloor>(sizes.request, sizes.response);
        }
    } catch (const std::exception &error) {
        state.SkipWithError(error.what());
    }
    return g_floor.get();
}

// What an exchange costs the process while the benchmark runs, per exchange:
// - other_threads_cpu_us: CPU of every thread but the benchmark's (the IPC
//   library's, or the raw floor's echo thread), the exchange's work apart from
//   the request's encoding and the polling of the benchmark thread;
// - cpu_us: CPU of all threads, the polling included (it spins while it waits);
// - sleeps: voluntary context switches of the whole process, each a thread
//   going to sleep to be woken: the hand-offs;
// - io_switches: all context switches (voluntary and preempted) of the other
//   threads; the benchmark thread's own are left out, because its polling
//   yields the core on purpose.
class OtherThreadsActivity {
public:
    OtherThreadsActivity()
        : process_(now(CLOCK_PROCESS_CPUTIME_ID)), thread_(now(CLOCK_THREAD_CPUTIME_ID)),
          process_usage_(usage(RUSAGE_SELF)), thread_usage_(usage(RUSAGE_THREAD)) {}

    // Per exchange since construction, as counters.
    void report(benchmark::State &state, std::size_t exchanges) const {
        if (exchanges == 0)
            return;
        const double count = static_cast<double>(exchanges);
        const double all = now(CLOCK_PROCESS_CPUTIME_ID) - process_;
        const double others = all - (now(CLOCK_THREAD_CPUTIME_ID) - thread_);
        const rusage process = usage(RUSAGE_SELF);
        const rusage thread = usage(RUSAGE_THREAD);
        const auto switches = [](const rusage &u) { return u.ru_nvcsw + u.ru_nivcsw; };
        state.counters["cpu_us"] = all * 1e6 / count;
        state.counters["other_threads_cpu_us"] = others * 1e6 / count;
        state.counters["sleeps"] =
            static_cast<double>(process.ru_nvcsw - process_usage_.ru_nvcsw) / count;
        state.counters["io_switches"] =
            static_cast<double>((switches(process) - switches(process_usage_)) -
                                (switches(thread) - switches(thread_usage_))) /
            count;
    }

private:
    static double now(clockid_t clock) {
        timespec time{};
        clock_gettime(clock, &time);
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
    }
    static rusage usage(int who) {
        rusage result{};
        getrusage(who, &result);
        return result;
    }
    double process_;
    double thread_;
    rusage process_usage_;
    rusage thread_usage_;
};

// Median and 99th percentile of the per-exchange times, in microseconds.
void reportLatency(benchmark::State &state, std::vector<double> &micros) {
    if (micros.empty())
        return;
    std::sort(micros.begin(), micros.end());
    auto at = [&](double fraction) {
        return micros[std::min(micros.size() - 1,
                               static_cast<std::size_t>(fraction * micros.size()))];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
}

void reportSizes(benchmark::State &state) {
    static const ExchangeSizes sizes = exchangeSizes();
    state.counters["request_bytes"] = static_cast<double>(sizes.request);
    state.counters["response_bytes"] = static_cast<double>(sizes.response);
}

// Times exchange() once per iteration and reports the per-exchange counters;
// false (the benchmark skipped with failure) when an exchange failed.
template <typename Exchange>
bool timeRoundTrips(benchmark::State &state, const char *failure, Exchange exchange) {
    std::vector<double> micros;
    micros.reserve(1 << 16);
    const OtherThreadsActivity activity;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!exchange()) {
            state.SkipWithError(failure);
            return false;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    activity.report(state, micros.size());
    reportLatency(state, micros);
    reportSizes(state);
    return true;
}

void BM_ServiceRoundTrip(benchmark::State &state) {
    ServiceLoopback *loopback = service(state);
    if (loopback == nullptr)
        return;
    const DeviceIdReqData request = deviceRequest();
    DeviceIdResData response;
    const bool completed = timeRoundTrips(state, "the request was not completed", [&] {
        response.error.processingOK = 0; // nothing is pending on this record
        return loopback->send(request, response) && waitForCompletion(response.error);
    });
    if (!completed)
        g_service.reset(); // drops the pending request before its record goes
    else if (response.device_data.name != deviceAnswer().device_data.name ||
             response.error.errorCode != 200)
        state.SkipWithError("the reply does not carry the serving side's answer");
}

void BM_ServiceInFlight(benchmark::State &state) {
    ServiceLoopback *loopback = service(state);
    if (loopback == nullptr)
        return;
    const auto count = static_cast<std::size_t>(state.range(0));
    const DeviceIdReqData request = deviceRequest();
    std::vector<DeviceIdResData> responses(count);
    const OtherThreadsActivity activity;
    for (auto _ : state) {
        for (DeviceIdResData &response : responses)
            response.error.processingOK = 0; // nothing is pending on these records
        bool completed = true;
        for (DeviceIdResData &response : responses)
            completed = completed && loopback->send(request, response);
        for (const DeviceIdResData &response : responses)
            completed = completed && waitForCompletion(response.error);
        if (!completed) {
            state.SkipWithError("a request was not completed");
            g_service.reset(); // drops the pending requests before their records go
            return;
        }
    }
    for (const DeviceIdResData &response : responses)
        if (response.error.errorCode != 200) {
            state.SkipWithError("a reply does not carry the serving side's answer");
            return;
        }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
    activity.report(state, state.iterations() * count);
    reportSizes(state);
}

void BM_IpcRoundTrip(benchmark::State &state) {
    IpcLoopback *ipc = ipcLoopback(state);
    if (ipc == nullptr)
        return;
    std::atomic<int> done{0};
    const bool completed = timeRoundTrips(state, "the request was not answered", [&] {
        done.store(0, std::memory_order_relaxed);
        return ipc->send(done) &&
               waitUntil([&] { return done.load(std::memory_order_acquire) == 1; });
    });
    if (!completed)
        g_ipc.reset(); // drops the pending request before its flag goes
}

void BM_IpcInFlight(benchmark::State &state) {
    IpcLoopback *ipc = ipcLoopback(state);
    if (ipc == nullptr)
        return;
    const auto count = static_cast<std::size_t>(state.range(0));
    std::vector<std::atomic<int>> done(count);
    const OtherThreadsActivity activity;
    for (auto _ : state) {
        bool completed = true;
        for (auto &flag : done) {
            flag.store(0, std::memory_order_relaxed);
            completed = completed && ipc->send(flag);
        }
        for (auto &flag : done)
            completed = completed &&
                        waitUntil([&] { return flag.load(std::memory_order_acquire) == 1; });
        if (!completed) {
            state.SkipWithError("a request was not answered");
            g_ipc.reset();
            return;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
    activity.report(state, state.iterations() * count);
    reportSizes(state);
}

void BM_RawTcpRoundTrip(benchmark::State &state) {
    RawTcpFloor *raw = rawFloor(state);
    if (raw != nullptr)
        timeRoundTrips(state, "raw exchange failed", [&] { return raw->roundTrip(); });
}

void BM_RawTcpInFlight(benchmark::State &state) {
    RawTcpFloor *raw = rawFloor(state);
    if (raw == nullptr)
        return;
    const auto count = static_cast<std::size_t>(state.range(0));
    const OtherThreadsActivity activity;
    for (auto _ : state)
        if (!raw->exchange(count)) {
            state.SkipWithError("raw exchange failed");
            return;
        }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
    activity.report(state, state.iterations() * count);
    reportSizes(state);
}

constexpr int64_t inFlight = 1000;

// Real time: the work happens on other threads than the benchmark's.
BENCHMARK(BM_ServiceRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IpcRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawTcpRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ServiceInFlight)->Arg(inFlight)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IpcInFlight)->Arg(inFlight)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawTcpInFlight)->Arg(inFlight)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

void releaseEnvironments() {
    g_service.reset();
    g_ipc.reset();
    g_floor.reset();
}

} // namespace bench
