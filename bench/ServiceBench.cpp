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
// without waiting, then waits for every one of them.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
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

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *actionName = "devices_id";

// Long enough for a loaded machine; only a broken exchange waits it out.
constexpr std::chrono::seconds completionDeadline{30};

// Polls the completion flag as the binding's caller does, yielding the core to
// the IPC threads between reads.
bool waitForCompletion(const ServiceError &error) {
    const auto deadline = Clock::now() + completionDeadline;
    for (unsigned spins = 1; completionFlag(error) != 1; ++spins) {
        if (spins % 1024 == 0 && Clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
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

std::unique_ptr<ServiceLoopback> g_service; // benchmark thread only
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

// What the threads other than the benchmark's (the IPC library's, or the raw
// floor's echo thread) spend while the benchmark runs: their CPU time, which is
// the work of an exchange apart from the request's encoding and the polling of
// the benchmark thread (it spins while it waits), and the voluntary context
// switches of the whole process (threads going to sleep to be woken).
class OtherThreadsActivity {
public:
    OtherThreadsActivity()
        : process_(now(CLOCK_PROCESS_CPUTIME_ID)), thread_(now(CLOCK_THREAD_CPUTIME_ID)),
          switches_(voluntarySwitches()) {}

    // Per exchange since construction, as counters.
    void report(benchmark::State &state, std::size_t exchanges) const {
        if (exchanges == 0)
            return;
        const double others = (now(CLOCK_PROCESS_CPUTIME_ID) - process_) -
                              (now(CLOCK_THREAD_CPUTIME_ID) - thread_);
        state.counters["other_threads_cpu_us"] = others * 1e6 / static_cast<double>(exchanges);
        state.counters["sleeps"] = static_cast<double>(voluntarySwitches() - switches_) /
                                   static_cast<double>(exchanges);
    }

private:
    static double now(clockid_t clock) {
        timespec time{};
        clock_gettime(clock, &time);
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) * 1e-9;
    }
    static long voluntarySwitches() {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        return usage.ru_nvcsw;
    }
    double process_;
    double thread_;
    long switches_;
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

void BM_ServiceRoundTrip(benchmark::State &state) {
    ServiceLoopback *loopback = service(state);
    if (loopback == nullptr)
        return;
    const DeviceIdReqData request = deviceRequest();
    DeviceIdResData response;
    std::vector<double> micros;
    micros.reserve(1 << 16);
    const OtherThreadsActivity activity;
    for (auto _ : state) {
        const auto start = Clock::now();
        response.error.processingOK = 0; // nothing is pending on this record
        if (!loopback->send(request, response) || !waitForCompletion(response.error)) {
            state.SkipWithError("the request was not completed");
            g_service.reset(); // drops the pending request before its record goes
            return;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    if (response.device_data.name != deviceAnswer().device_data.name ||
        response.error.errorCode != 200)
        state.SkipWithError("the reply does not carry the serving side's answer");
    activity.report(state, micros.size());
    reportLatency(state, micros);
    reportSizes(state);
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

void BM_RawTcpRoundTrip(benchmark::State &state) {
    RawTcpFloor *raw = rawFloor(state);
    if (raw == nullptr)
        return;
    std::vector<double> micros;
    micros.reserve(1 << 16);
    const OtherThreadsActivity activity;
    for (auto _ : state) {
        const auto start = Clock::now();
        if (!raw->roundTrip()) {
            state.SkipWithError("raw exchange failed");
            return;
        }
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    activity.report(state, micros.size());
    reportLatency(state, micros);
    reportSizes(state);
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
BENCHMARK(BM_RawTcpRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ServiceInFlight)->Arg(inFlight)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawTcpInFlight)->Arg(inFlight)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

void releaseEnvironments() {
    g_service.reset();
    g_floor.reset();
}

} // namespace bench
