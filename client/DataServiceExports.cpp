// The six exported service functions: argument checks in front of the
// service object and the action table. No exception crosses this boundary.
#include "DataServiceExports.h"

#include <memory>

#include "ActionTable.h"
#include "DataServiceStub.h"

#if defined(_WIN32)
#include <winsock2.h>
#endif

using namespace DataServiceNamespace;

namespace {
cfstring textOf(const char *text) { return text ? cfstring(text) : cfstring(); }
} // namespace

extern "C" {

void *create_service(char *host, int port, char *definition_path, void *status_record) {
#if defined(_WIN32)
    WSADATA socketData;
    WSAStartup(0x0202, &socketData);
#endif
    try {
        cfstring hostText = textOf(host);
        auto stub = std::make_unique<DataServiceStub>(textOf(definition_path));
        stub->connect(hostText, port, static_cast<ServiceError *>(status_record));
        return stub.release();
    } catch (...) {
        return nullptr;
    }
}

int service_connect(void *service, char *host, int port, void *status_record) {
    if (!service)
        return 0;
    try {
        auto *stub = static_cast<DataServiceStub *>(service);
        stub->connect(textOf(host), port, static_cast<ServiceError *>(status_record));
    } catch (...) {
        // Only an allocation failure can get here; the stub keeps its state.
    }
    return 1;
}

int destroy_service(void *service) {
    delete static_cast<DataServiceStub *>(service);
    return 1;
}

int send_service_request(void *service, char *action, void *request, void *callback,
                         void *response) {
    if (!service)
        return 0;
    const ActionRow *row = actionNamed(action ? action : "");
    if (!row || !callback || !request)
        return 0;
    try {
        static_cast<DataServiceStub *>(service)->sendRequest(
            row->methodId, static_cast<CallbackBase *>(callback), request, requestTimeout,
            response);
    } catch (...) {
        // Encoding ran out of memory before the request was recorded.
        return 0;
    }
    return 1;
}

void *create_callback_functor(char *action) {
    const ActionRow *row = actionNamed(action ? action : "");
    if (!row)
        return nullptr;
    try {
        return row->createCallback();
    } catch (...) {
        return nullptr;
    }
}

int destroy_callback_functor(char *action, void *callback) {
    if (!actionNamed(action ? action : "") || !callback)
        return 0;
    delete static_cast<CallbackBase *>(callback);
    return 1;
}

} // extern "C"
