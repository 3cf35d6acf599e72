// The reference data service's answers to the 22 actions, on a Store.
//
// A request runs on a velorn_ipc thread through the serving side of host/
// (a login on the serving side's worker thread instead, since its password
// hash would hold up the I/O loop; a login that finds the worker's queue
// full is answered 503 by answerBusy on the I/O thread):
//
//   decode request --> Service::answer<action>: session, verb,
//                      the action's handler on the store, status in error
//                  --> encode (too large: answerTooLarge, 413, encode again)
//                  --> answerEncoded: the log line --> response sent
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "ActionTable.h"
#include "Authentication.h"
#include "DataServiceStub.h"
#include "ServiceLog.h"
#include "ServingHandler.h"
#include "Status.h"
#include "Store.h"

namespace DataServiceNamespace::server {

struct ServiceOptions {
    UnixSeconds sessionIdle = 8 * 3600;              // a session unused this long expires
    std::size_t answerLimit = VELORN_IPC_MAX_PAYLOAD; // larger encoded answers become 413
};

// The verb of a request, from request_data.action.
enum Verb : unsigned { verbGet = 1, verbPost = 2, verbPut = 4, verbDelete = 8, verbOther = 16 };

// Threads: answer and the handlers run on IPC threads and the login worker,
// concurrently; the store and the authenticator are safe for that. Everything else is set
// before the service is registered and only read afterwards.
class Service {
public:
    Service(Store &store, const ServiceOptions &options, const ServiceLog &log);
    ~Service();
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Registers one handler per action on stub. The handlers belong to the
    // service, which must outlive the stub's listening channel. Uses the
    // stub's codec once to learn the smallest encoded recording.
    void registerWith(DataServiceStub &stub);

    // Fills response for request, status in error.errorCode and
    // error.errorMesg (and service_error where the record has one).
    // Instantiated for the 22 actions; also usable without a stub (tools).
    template <class Callback>
    void answer(const typename Action<Callback>::Request &request,
                typename Action<Callback>::Response &response);

    const ServiceOptions &options() const { return options_; }
    const ServiceLog &log() const { return log_; }

    // Handlers of the actions, one overload per request type. Each checks
    // its input and fills the response; the caller has already checked the
    // session and the verb.
    Status handle(const VerifyAuthenticationReqData &, VerifyAuthenticationResData &, Verb);
    Status handle(const AuthenticationReqData &, AuthenticationResData &, Verb);
    Status handle(const AuthenticationSessionkeyReqData &, AuthenticationSessionkeyResData &, Verb);
    Status handle(const ServiceReqData &, ServiceResData &, Verb);
    Status handle(const ServiceIdReqData &, ServiceIdResData &, Verb);
    Status handle(const SmtpSettingReqData &, SmtpSettingResData &, Verb);
    Status handle(const SmtpSettingIdReqData &, SmtpSettingIdResData &, Verb);
    Status handle(const FtpSiteReqData &, FtpSiteResData &, Verb);
    Status handle(const FtpSiteIdReqData &, FtpSiteIdResData &, Verb);
    Status handle(const ContactReqData &, ContactResData &, Verb);
    Status handle(const ContactIdReqData &, ContactIdResData &, Verb);
    Status handle(const DeviceReqData &, DeviceResData &, Verb);
    Status handle(const DeviceIdReqData &, DeviceIdResData &, Verb);
    Status handle(const DeviceIdStreamprofileReqData &, DeviceIdStreamprofileResData &, Verb);
    Status handle(const DeviceIdStreamprofileIdReqData &, DeviceIdStreamprofileIdResData &, Verb);
    Status handle(const RecordReqData &, RecordResData &, Verb);
    Status handle(const DeviceIdRecordReqData &, DeviceIdRecordResData &, Verb);
    Status handle(const TrackerReqData &, TrackerResData &, Verb);
    Status handle(const DeviceIdImageReqData &, DeviceIdImageResData &, Verb);
    Status handle(const RtspSettingReqData &, RtspSettingResData &, Verb);
    Status handle(const ComponentReqData &, ComponentResData &, Verb);
    Status handle(const ComponentIdReqData &, ComponentIdResData &, Verb);

private:
    Status recordings(const std::string &start, const std::string &end,
                      const std::optional<std::string> &deviceId, std::vector<RecordData> &out);

    Store &store_;
    const ServiceOptions options_;
    const ServiceLog &log_;
    Authenticator authenticator_;
    std::size_t recordingRowLimit_; // more rows than this cannot fit the answer limit
    std::vector<std::unique_ptr<ServingHandler>> handlers_; // registered; live as long as this
};

} // namespace DataServiceNamespace::server
