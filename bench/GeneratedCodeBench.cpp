// The baseline of the codec benchmarks: code that protoc generates from the
// same definition file, which reads and writes the same bytes (the wire
// format test checks that). Measured in the same run as the codec:
//
//   parse          bytes -> generated message (then destroyed)
//   parse + copy   bytes -> generated message -> plain record, as a client
//                  using generated code would complete a reply
//   encode         plain record -> generated message -> sized new[] array
//
// The copies use the generated accessors, written out for the records these
// benchmarks use; "peak_extra_bytes" is the most memory held at once beyond
// what was held before, counted by AllocationCounter.
#include <benchmark/benchmark.h>

#include <string>

#include "AllocationCounter.h"
#include "BenchRecords.h"
#include "GeneratedMessages.h"

namespace bench {
namespace {

namespace gen = ::generated;

// Text fields copied alike in both directions; the generated accessor of a
// field is its name.
#define DS_REQUEST_TEXTS(X) X(action) X(version) X(session_key)
#define DS_RECORD_TEXTS(X) \
    X(id) X(start) X(end) X(stream_profile_id) X(rtsp_url) X(service_id) X(device_id)
#define DS_FROM_GENERATED(field) to.field = from.field();
#define DS_TO_GENERATED(field) to.set_##field(from.field);

void copy(const gen::DataServiceRequestData &from, DataServiceRequestData &to) {
    DS_REQUEST_TEXTS(DS_FROM_GENERATED)
}
void copy(const DataServiceRequestData &from, gen::DataServiceRequestData &to) {
    DS_REQUEST_TEXTS(DS_TO_GENERATED)
}
void copy(const gen::ServiceError &from, ServiceError &to) {
    copy(from.request_data(), to.request_data);
    to.errorCode = from.errorcode();
    to.errorMesg = from.errormesg();
}
void copy(const ServiceError &from, gen::ServiceError &to) {
    copy(from.request_data, *to.mutable_request_data());
    to.set_errorcode(from.errorCode);
    to.set_errormesg(from.errorMesg);
}
void copy(const gen::RecordData &from, RecordData &to) {
    DS_RECORD_TEXTS(DS_FROM_GENERATED)
    to.stream_details.resolution = from.stream_details().resolution();
    to.stream_details.format = from.stream_details().format();
}
void copy(const RecordData &from, gen::RecordData &to) {
    DS_RECORD_TEXTS(DS_TO_GENERATED)
    to.mutable_stream_details()->set_resolution(from.stream_details.resolution);
    to.mutable_stream_details()->set_format(from.stream_details.format);
}
void copy(const gen::RecordResData &from, RecordResData &to) {
    to.record_data.reserve(to.record_data.size() + static_cast<std::size_t>(from.record_data_size()));
    for (const gen::RecordData &record : from.record_data())
        copy(record, to.record_data.emplace_back());
    copy(from.error(), to.error);
}
void copy(const RecordResData &from, gen::RecordResData &to) {
    to.mutable_record_data()->Reserve(static_cast<int>(from.record_data.size()));
    for (const RecordData &record : from.record_data)
        copy(record, *to.add_record_data());
    copy(from.error, *to.mutable_error());
}
void copy(const gen::DeviceIdReqData &from, DeviceIdReqData &to) {
    copy(from.request_data(), to.request_data);
    to.id = from.id();
    copy(from.error(), to.error);
}
void copy(const DeviceIdReqData &from, gen::DeviceIdReqData &to) {
    copy(from.request_data, *to.mutable_request_data());
    to.set_id(from.id);
    copy(from.error, *to.mutable_error());
}
void copy(const gen::DeviceIdResData &from, DeviceIdResData &to) {
    const gen::DeviceData &device = from.device_data();
    to.device_data.id = device.id();
    to.device_data.name = device.name();
    to.device_data.type = device.type();
    to.device_data.components.assign(device.components().begin(), device.components().end());
    copy(from.error(), to.error);
}
void copy(const DeviceIdResData &from, gen::DeviceIdResData &to) {
    gen::DeviceData &device = *to.mutable_device_data();
    device.set_id(from.device_data.id);
    device.set_name(from.device_data.name);
    device.set_type(from.device_data.type);
    for (const cfstring &component : from.device_data.components)
        device.add_components(component);
    copy(from.error, *to.mutable_error());
}

#undef DS_REQUEST_TEXTS
#undef DS_RECORD_TEXTS
#undef DS_FROM_GENERATED
#undef DS_TO_GENERATED

// The generated type of each plain record.
template <class Record> struct Generated;
template <> struct Generated<RecordResData> { using type = gen::RecordResData; };
template <> struct Generated<DeviceIdReqData> { using type = gen::DeviceIdReqData; };
template <> struct Generated<DeviceIdResData> { using type = gen::DeviceIdResData; };

// The message bytes inside our encoding of a record: what generated code reads.
template <class Record> std::string generatedBody(const Record &record) {
    std::string type, body;
    if (!testing::splitEnvelope(encodedBytes(benchCodec(), record), &type, &body))
        body.clear();
    return body;
}

// Generated code's counterpart of decodeBytes: parse, then copy when asked.
template <class Record> void generatedDecode(const std::string &body, Record *record) {
    typename Generated<Record>::type message;
    message.ParseFromString(body);
    if (record != nullptr)
        copy(message, *record);
}

// Generated code's counterpart of toMetadata + encodeInstance.
template <class Record> std::string generatedEncode(const Record &record) {
    typename Generated<Record>::type message;
    copy(record, message);
    const std::size_t size = message.ByteSizeLong();
    char *data = new char[size];
    message.SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t *>(data));
    std::string bytes(data, size);
    delete[] data;
    return bytes;
}

void recordListParse(benchmark::State &state, bool withCopy) {
    const std::string body = generatedBody(recordList(largeListLength));
    for (auto _ : state) {
        RecordResData decoded;
        generatedDecode(body, withCopy ? &decoded : nullptr);
        benchmark::DoNotOptimize(decoded);
    }
    state.counters["peak_extra_bytes"] = static_cast<double>(peakExtraBytes([&] {
        RecordResData decoded;
        generatedDecode(body, withCopy ? &decoded : nullptr);
    }));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * largeListLength));
}

void BM_GeneratedRecordListParse(benchmark::State &state) { recordListParse(state, false); }
void BM_GeneratedRecordListParseCopy(benchmark::State &state) { recordListParse(state, true); }

// The encoded array is allocated and released in the loop, as encodeInstance's is.
void BM_GeneratedRecordListEncode(benchmark::State &state) {
    const RecordResData list = recordList(largeListLength);
    for (auto _ : state) {
        gen::RecordResData message;
        copy(list, message);
        const std::size_t size = message.ByteSizeLong();
        char *data = new char[size];
        message.SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t *>(data));
        benchmark::DoNotOptimize(data);
        delete[] data;
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * largeListLength));
}

// The codec's work in one "devices_id" exchange: the request encoded by the
// client and decoded by the serving side, the answer encoded there and
// decoded by the client. Ours, then generated code's.
void BM_SmallExchange(benchmark::State &state) {
    ServiceCodec &codec = benchCodec();
    const DeviceIdReqData request = deviceRequest();
    const DeviceIdResData answer = deviceAnswer();
    for (auto _ : state) {
        TagProblemList problems;
        const std::string requestBytes = encodedBytes(codec, request);
        DeviceIdReqData served;
        decodeBytes(codec, served, requestBytes.data(),
                    static_cast<uint32>(requestBytes.size()), problems);
        const std::string answerBytes = encodedBytes(codec, answer);
        DeviceIdResData completed;
        decodeBytes(codec, completed, answerBytes.data(), static_cast<uint32>(answerBytes.size()),
                    problems);
        benchmark::DoNotOptimize(completed);
    }
}

void BM_GeneratedSmallExchange(benchmark::State &state) {
    const DeviceIdReqData request = deviceRequest();
    const DeviceIdResData answer = deviceAnswer();
    for (auto _ : state) {
        DeviceIdReqData served;
        generatedDecode(generatedEncode(request), &served);
        DeviceIdResData completed;
        generatedDecode(generatedEncode(answer), &completed);
        benchmark::DoNotOptimize(completed);
    }
}

BENCHMARK(BM_GeneratedRecordListParse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GeneratedRecordListParseCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GeneratedRecordListEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallExchange)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GeneratedSmallExchange)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace bench
