// The outcome of one request as the service reports it: an HTTP status in
// error.errorCode and a short message in error.errorMesg.
#pragma once

#include <string>
#include <utility>

namespace DataServiceNamespace::server {

// The status codes the service answers with (docs/service.md).
enum StatusCode : int {
    statusOk = 200,
    statusCreated = 201,
    statusBadRequest = 400,
    statusUnauthorized = 401,
    statusNotFound = 404,
    statusMethodNotAllowed = 405,
    statusTooLarge = 413,
    statusInternalError = 500,
    statusBusy = 503, // every login worker taken and the queue full
};

struct Status {
    int code = statusOk;
    std::string message = "OK";

    bool ok() const { return code == statusOk || code == statusCreated; }
};

inline Status failure(int code, std::string message) { return Status{code, std::move(message)}; }

} // namespace DataServiceNamespace::server
