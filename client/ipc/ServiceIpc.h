// The client's view of velorn_ipc: the constants of one exchange and the
// handler forms that the service object registers with the library.
#pragma once

#include <cstdint>

#include "velorn_ipc.h"

namespace DataServiceNamespace {

// Handed to velorn_ipc with every request and every response; the library
// measures it (in milliseconds) and reports VELORN_IPC_ETIMEDOUT when it
// runs out. Fixed by the protocol shared with the data service.
constexpr int32_t requestTimeout = 5000;

// The transport code by which the library reports that a request timed out.
constexpr int32_t transportTimeout = VELORN_IPC_ETIMEDOUT;

// The transport code with which requests still pending on a channel are
// completed when a new connect replaces that channel.
constexpr int32_t transportChannelReplaced = VELORN_IPC_ECLOSED;

// The text written to errorMesg when a request timed out.
constexpr const char *timeoutMessage = "Sending command timeout, please try again !\n";

} // namespace DataServiceNamespace
