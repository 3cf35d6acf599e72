// Record content shared by the benchmarks, shaped like what an installation
// holds, so that encoded sizes are those of real traffic.
#pragma once

#include <cstddef>
#include <string>

#include "DataServiceTypes.h"
#include "ServiceCodec.h"

namespace bench {

using namespace DataServiceNamespace;

// The request of one "devices_id" exchange: a request header with a session
// key of 32 hex digits and the identifier of the sample installation's first
// device (examples/installation.json).
DeviceIdReqData deviceRequest();

// Fills the answer of a "devices_id" exchange as the service does: the
// sample installation's device with the requested id and status 200 "OK", or
// 404 when it has none. Runs on the serving side's IPC threads, reading the
// installation that deviceRequest() has loaded.
void fillDeviceAnswer(const DeviceIdReqData &request, DeviceIdResData &answer);

// A recordings list of count entries, each a one-hour recording of one of 64
// cameras with its stream details and RTSP address.
RecordResData recordList(std::size_t count);

// The answer of a "devices_id" exchange to deviceRequest().
DeviceIdResData deviceAnswer();

// One codec with the definition file loaded, shared by the codec benchmarks;
// benchmark thread only.
ServiceCodec &benchCodec();

// The number of records of the large reply.
constexpr std::size_t largeListLength = 10000;

} // namespace bench
