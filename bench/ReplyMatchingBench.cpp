// The client's reply handling without the network: DataServiceStub::onResponse
// called directly, as the IPC library calls it, for every entry of a pending
// list of a given length, in the order the entries were sent. The figure per
// reply, compared between 1 and 1,000 pending entries, shows what the pending
// list costs when many requests are in flight.
//
// Two kinds of reply: a transport error (no bytes, so no decoding: the
// matching and completion alone), and the encoded answer of "devices_id".
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "ActionTable.h"
#include "BenchRecords.h"
#include "DataServiceStub.h"

namespace bench {
namespace {

void replyMatching(benchmark::State &state, bool withAnswer) {
    const auto pending = static_cast<std::size_t>(state.range(0));
    const uint32 methodId = Action<RecvResponseCallbackdevices_id>::methodId;
    DataServiceStub stub(DS_DEFINITION_FILE); // never connected: no handler of the library runs
    std::string answer;
    if (withAnswer) {
        DeviceIdResData record;
        fillDeviceAnswer(deviceRequest(), record);
        answer = encodedBytes(stub.codec, record);
    }
    const int32_t code = withAnswer ? VELORN_IPC_OK : VELORN_IPC_ECONNLOST;
    RecvResponseCallbackdevices_id callback;
    std::vector<DeviceIdResData> responses(pending);
    for (auto _ : state) {
        state.PauseTiming();
        stub.pendingRequests.clear();
        for (std::size_t i = 0; i < pending; ++i)
            stub.pendingRequests.push_back(
                PendingRequest{&callback, &responses[i], i + 1, methodId});
        state.ResumeTiming();
        for (std::size_t i = 0; i < pending; ++i)
            DataServiceStub::onResponse(0, &stub, i + 1, methodId,
                                        static_cast<uint32_t>(answer.size()),
                                        answer.empty() ? nullptr : answer.data(), code);
    }
    if (!stub.pendingRequests.empty() || completionFlag(responses.back().error) != 1)
        state.SkipWithError("the replies did not complete the pending requests");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * pending));
}

void BM_ReplyMatchingTransportError(benchmark::State &state) { replyMatching(state, false); }
void BM_ReplyMatchingWithAnswer(benchmark::State &state) { replyMatching(state, true); }

// A decoded list of 10,000 recordings copied once: the decoder appends a copy
// of every element it decodes, and the completion copies the decoded record
// into the caller's.
void BM_RecordListCopy(benchmark::State &state) {
    const RecordResData list = recordList(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        RecordResData copy = list;
        benchmark::DoNotOptimize(copy);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * state.range(0)));
}

BENCHMARK(BM_ReplyMatchingTransportError)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ReplyMatchingWithAnswer)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecordListCopy)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace bench
