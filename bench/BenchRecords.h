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
// key of 32 hex digits and a device identifier.
DeviceIdReqData deviceRequest();

// Fills the answer of a "devices_id" exchange: one camera with four
// components and a success code. Runs on the serving side's IPC thread.
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
