// Content for the benchmark records: the small exchange answers from the sample
// installation (examples/installation.json); the large list has texts of the
// lengths that identifiers, timestamps and RTSP addresses have in one.
#include "BenchRecords.h"

#include <cstdio>

#include "InstallationFile.h"

namespace bench {

namespace {

const char *const sessionKey = "9f86d081884c7d659a2feaa0c55ad015";

DataServiceRequestData requestHeader(const char *action) {
    DataServiceRequestData header;
    header.action = action;
    header.version = "1.0";
    header.session_key = sessionKey;
    return header;
}

std::string formatted(const char *format, unsigned value) {
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The sample installation, read once (the first call is the benchmark
// thread's, before any serving side runs) and read-only afterwards.
const DataServiceNamespace::server::Installation &sampleInstallation() {
    static const DataServiceNamespace::server::Installation installation =
        DataServiceNamespace::server::readInstallationFile(DS_SAMPLE_INSTALLATION);
    return installation;
}

} // namespace

DeviceIdReqData deviceRequest() {
    DeviceIdReqData request;
    request.request_data = requestHeader("devices_id");
    request.id = sampleInstallation().devices.at(0).id;
    request.error.request_data = request.request_data;
    return request;
}

void fillDeviceAnswer(const DeviceIdReqData &request, DeviceIdResData &answer) {
    answer.error.request_data = request.request_data;
    for (const DeviceData &device : sampleInstallation().devices)
        if (device.id == request.id) {
            answer.device_data = device;
            answer.error.errorCode = 200;
            answer.error.errorMesg = "OK";
            return;
        }
    answer.error.errorCode = 404;
    answer.error.errorMesg = "no such device";
}

DeviceIdResData deviceAnswer() {
    DeviceIdResData answer;
    fillDeviceAnswer(deviceRequest(), answer);
    return answer;
}

ServiceCodec &benchCodec() {
    static ServiceCodec instance;
    static const bool loaded = (instance.createTool(DS_DEFINITION_FILE), true);
    (void)loaded;
    return instance;
}

RecordResData recordList(std::size_t count) {
    RecordResData list;
    list.record_data.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto index = static_cast<unsigned>(i);
        const unsigned camera = index % 64;
        RecordData record;
        record.id = formatted("rec-%08u", index);
        record.start = formatted("2024-03-%02u", 1 + index / 24 % 28) +
                       formatted("T%02u:00:00Z", index % 24);
        record.end = formatted("2024-03-%02u", 1 + index / 24 % 28) +
                     formatted("T%02u:59:59Z", index % 24);
        record.stream_details.resolution = "1920x1080";
        record.stream_details.format = "H.264";
        record.stream_profile_id = formatted("profile-%u-main", camera);
        record.rtsp_url = formatted("rtsp://10.20.0.%u:554/recordings/", 10 + camera) + record.id;
        record.service_id = "recording-service-1";
        record.device_id = formatted("cam-%04u", camera);
        list.record_data.push_back(std::move(record));
    }
    list.error.request_data = requestHeader("records");
    list.error.errorCode = 1;
    return list;
}

} // namespace bench
