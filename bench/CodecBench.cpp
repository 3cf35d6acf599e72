// Encoding and decoding of a large reply (a recordings list) through the codec
// and the serialization library, whole and step by step.
//
// Encode = toMetadata + encodeInstance (needed size, one array, serialize,
// destroy the instance), as the serving side answers. Decode = deserialize +
// fromMetadata into a fresh record + destroy the instance, as the client
// completes a reply. The step benchmarks time one step each and leave the
// others out of the clock, to show where the time goes.
#include <benchmark/benchmark.h>

#include <string>

#include "AllocationCounter.h"
#include "BenchRecords.h"

namespace bench {
namespace {

void reportRecords(benchmark::State &state, std::size_t records, std::size_t bytes) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * records));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["encoded_bytes"] = static_cast<double>(bytes);
}

void BM_RecordListEncode(benchmark::State &state) {
    ServiceCodec &c = benchCodec();
    const RecordResData list = recordList(static_cast<std::size_t>(state.range(0)));
    uint32 size = 0;
    for (auto _ : state) {
        const ByteBuffer encoded = encodeRecord(c, list);
        size = encoded.size();
        benchmark::DoNotOptimize(encoded.data());
    }
    reportRecords(state, list.record_data.size(), size);
}

void BM_RecordListEncodeStepToMetadata(benchmark::State &state) {
    ServiceCodec &c = benchCodec();
    const RecordResData list = recordList(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        zeta_instance instance = c.toMetadata(list, c.tool);
        state.PauseTiming();
        zetaserialization_destroyMetadataInstance(c.tool, &instance);
        state.ResumeTiming();
    }
    reportRecords(state, list.record_data.size(), encodedBytes(c, list).size());
}

// The two library calls of encodeInstance, timed apart: the needed size, then
// the writing of the bytes into an array of that size.
void recordListEncodeLibraryStep(benchmark::State &state, bool timeSize) {
    ServiceCodec &c = benchCodec();
    const RecordResData list = recordList(static_cast<std::size_t>(state.range(0)));
    std::string buffer;
    for (auto _ : state) {
        state.PauseTiming();
        zeta_instance instance = c.toMetadata(list, c.tool);
        uint32 needed = 0;
        if (timeSize) {
            state.ResumeTiming();
            zetaserialization_getSerializationNeededBufferSize(c.tool, instance, &needed);
            state.PauseTiming();
            buffer.resize(needed);
            zetaserialization_serialize(c.tool, instance, buffer.data(), needed);
        } else {
            zetaserialization_getSerializationNeededBufferSize(c.tool, instance, &needed);
            buffer.resize(needed);
            state.ResumeTiming();
            zetaserialization_serialize(c.tool, instance, buffer.data(), needed);
            state.PauseTiming();
        }
        benchmark::DoNotOptimize(buffer.data());
        zetaserialization_destroyMetadataInstance(c.tool, &instance);
        state.ResumeTiming();
    }
    reportRecords(state, list.record_data.size(), buffer.size());
}

void BM_RecordListEncodeStepNeededSize(benchmark::State &state) {
    recordListEncodeLibraryStep(state, true);
}

void BM_RecordListEncodeStepSerialize(benchmark::State &state) {
    recordListEncodeLibraryStep(state, false);
}

void BM_RecordListDecode(benchmark::State &state) {
    ServiceCodec &c = benchCodec();
    const std::string bytes =
        encodedBytes(c, recordList(static_cast<std::size_t>(state.range(0))));
    std::size_t records = 0;
    for (auto _ : state) {
        RecordResData decoded;
        TagProblemList problems;
        decodeBytes(c, decoded, bytes.data(), static_cast<uint32>(bytes.size()), problems);
        records = decoded.record_data.size();
        benchmark::DoNotOptimize(decoded);
    }
    if (records != static_cast<std::size_t>(state.range(0)))
        state.SkipWithError("the decoded list lost records");
    reportRecords(state, records, bytes.size());
    state.counters["peak_extra_bytes"] = static_cast<double>(peakExtraBytes([&] {
        RecordResData decoded;
        TagProblemList problems;
        decodeBytes(c, decoded, bytes.data(), static_cast<uint32>(bytes.size()), problems);
    }));
}

void BM_RecordListDecodeStepDeserialize(benchmark::State &state) {
    ServiceCodec &c = benchCodec();
    const std::string bytes =
        encodedBytes(c, recordList(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        zeta_instance instance = nullptr;
        zetaserialization_deserialize(c.tool, bytes.data(), static_cast<uint32>(bytes.size()),
                                      &instance);
        benchmark::DoNotOptimize(instance);
        state.PauseTiming();
        zetaserialization_destroyMetadataInstance(c.tool, &instance);
        state.ResumeTiming();
    }
    reportRecords(state, static_cast<std::size_t>(state.range(0)), bytes.size());
}

void BM_RecordListDecodeStepFromMetadata(benchmark::State &state) {
    ServiceCodec &c = benchCodec();
    const std::string bytes =
        encodedBytes(c, recordList(static_cast<std::size_t>(state.range(0))));
    zeta_instance instance = nullptr;
    zetaserialization_deserialize(c.tool, bytes.data(), static_cast<uint32>(bytes.size()),
                                  &instance);
    for (auto _ : state) {
        RecordResData decoded;
        TagProblemList problems;
        c.fromMetadata(decoded, instance, c.tool, problems);
        benchmark::DoNotOptimize(decoded);
        state.PauseTiming();
        { RecordResData released(std::move(decoded)); } // the record's release is not decoding
        state.ResumeTiming();
    }
    zetaserialization_destroyMetadataInstance(c.tool, &instance);
    reportRecords(state, static_cast<std::size_t>(state.range(0)), bytes.size());
}

// The small records of the exchange benchmarks (ServiceBench.cpp): each
// exchange encodes and decodes the request once and the answer once, so these
// four figures are the codec's share of one round trip.
template <class Record> Record smallRecord();
template <> DeviceIdReqData smallRecord<DeviceIdReqData>() { return deviceRequest(); }
template <> DeviceIdResData smallRecord<DeviceIdResData>() { return deviceAnswer(); }

template <class Record> void BM_SmallEncode(benchmark::State &state) {
    ServiceCodec &c = benchCodec();
    const Record record = smallRecord<Record>();
    uint32 size = 0;
    for (auto _ : state) {
        const ByteBuffer encoded = encodeRecord(c, record);
        size = encoded.size();
        benchmark::DoNotOptimize(encoded.data());
    }
    state.counters["encoded_bytes"] = size;
}

template <class Record> void BM_SmallDecode(benchmark::State &state) {
    ServiceCodec &c = benchCodec();
    const std::string bytes = encodedBytes(c, smallRecord<Record>());
    for (auto _ : state) {
        Record decoded;
        TagProblemList problems;
        decodeBytes(c, decoded, bytes.data(), static_cast<uint32>(bytes.size()), problems);
        benchmark::DoNotOptimize(decoded);
    }
    state.counters["encoded_bytes"] = static_cast<double>(bytes.size());
}

constexpr auto listLength = static_cast<int64_t>(largeListLength);

BENCHMARK(BM_RecordListEncode)->Arg(listLength)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordListEncodeStepToMetadata)->Arg(listLength)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordListEncodeStepNeededSize)->Arg(listLength)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordListEncodeStepSerialize)->Arg(listLength)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordListDecode)->Arg(listLength)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordListDecodeStepDeserialize)->Arg(listLength)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordListDecodeStepFromMetadata)->Arg(listLength)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_SmallEncode, DeviceIdReqData)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_SmallDecode, DeviceIdReqData)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_SmallEncode, DeviceIdResData)->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_SmallDecode, DeviceIdResData)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace bench
