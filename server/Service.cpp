// The answers of the 22 actions: the rules every action shares (session,
// verb, status, log line) once, then one handler per action.
#include "Service.h"

#include <chrono>
#include <cstring>
#include <type_traits>

#include "UtcTime.h"

namespace DataServiceNamespace::server {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Which verbs an action takes and whether it needs a live session.
template <class Callback> struct Rules {
    static constexpr unsigned verbs = verbGet;
    static constexpr bool needsSession = true;
};
template <> struct Rules<RecvResponseCallbackcontacts> {
    static constexpr unsigned verbs = verbGet | verbPost;
    static constexpr bool needsSession = true;
};
template <> struct Rules<RecvResponseCallbackcontacts_id> {
    static constexpr unsigned verbs = verbGet | verbPut | verbDelete;
    static constexpr bool needsSession = true;
};
template <> struct Rules<RecvResponseCallbacksmtp_settings_id> {
    static constexpr unsigned verbs = verbGet | verbPut;
    static constexpr bool needsSession = true;
};
template <> struct Rules<RecvResponseCallbackftp_sites_id> : Rules<RecvResponseCallbacksmtp_settings_id> {};
template <> struct Rules<RecvResponseCallbackverify_authentication> {
    static constexpr unsigned verbs = verbGet;
    static constexpr bool needsSession = false; // checks its own session_key
};
template <> struct Rules<RecvResponseCallbackauthentications> : Rules<RecvResponseCallbackverify_authentication> {};
template <> struct Rules<RecvResponseCallbackauthentications_sessionkey> : Rules<RecvResponseCallbackverify_authentication> {};

// The actions that hash a password: tens of milliseconds that no other
// connection of the I/O loop should wait for, so the serving side's worker
// answers them.
template <class Callback>
constexpr bool hashesPassword = std::is_same_v<Callback, RecvResponseCallbackauthentications>;

const struct {
    Verb verb;
    const char *text;
} verbTexts[] = {{verbGet, "GET"}, {verbPost, "POST"}, {verbPut, "PUT"}, {verbDelete, "DELETE"}};

Verb verbNamed(const std::string &text) {
    if (text.empty())
        return verbGet;
    for (const auto &entry : verbTexts)
        if (text == entry.text)
            return entry.verb;
    return verbOther;
}

std::string verbList(unsigned verbs) {
    std::string list;
    for (const auto &entry : verbTexts)
        if (verbs & entry.verb)
            list += (list.empty() ? "" : ", ") + std::string(entry.text);
    return list;
}

template <class Record, class = void> struct HasHeader : std::false_type {};
template <class Record>
struct HasHeader<Record, std::void_t<decltype(std::declval<Record &>().request_data)>>
    : std::true_type {};
template <class Record, class = void> struct HasServiceError : std::false_type {};
template <class Record>
struct HasServiceError<Record, std::void_t<decltype(std::declval<Record &>().service_error)>>
    : std::true_type {};

template <class Response> void setStatus(Response &response, const Status &status) {
    statusOf(response).errorCode = status.code;
    statusOf(response).errorMesg = status.message;
    if constexpr (HasServiceError<Response>::value) {
        response.service_error.errorCode = status.code;
        response.service_error.errorMesg = status.message;
    }
}

// The request being answered on this thread, from answer() to the log line
// in answerEncoded (the serving side runs both on one thread, one request at
// a time).
struct RequestLine {
    const char *action = "";
    std::string verb;
    int status = 0;
    SteadyClock::time_point start;
};
thread_local RequestLine t_request;

// Starts the log line of request on this thread; the request's verb text.
template <class Callback>
std::string startLine(const typename Action<Callback>::Request &request) {
    t_request.action = Action<Callback>::name;
    t_request.start = SteadyClock::now();
    std::string verbText;
    if constexpr (HasHeader<typename Action<Callback>::Request>::value)
        verbText = request.request_data.action;
    t_request.verb = verbText.empty() ? "GET" : printable(verbText);
    return verbText;
}

// The serving side's handler object of one action.
template <class Callback> class ActionHandler : public ServingHandler {
public:
    using Request = typename Action<Callback>::Request;
    using Response = typename Action<Callback>::Response;

    explicit ActionHandler(Service &service) : service_(service) {}

    void serve(uint32, const void *request, void *response, void *) override {
        service_.answer<Callback>(*static_cast<const Request *>(request),
                                  *static_cast<Response *>(response));
    }
    bool servesOnWorker(uint32) const override { return hashesPassword<Callback>; }
    void answerBusy(uint32, const void *request, void *response) override {
        startLine<Callback>(*static_cast<const Request *>(request));
        const Status status =
            failure(statusBusy, "too many logins at once; try again in a moment");
        setStatus(*static_cast<Response *>(response), status);
        t_request.status = status.code;
    }
    std::size_t answerLimit() const override { return service_.options().answerLimit; }
    void answerTooLarge(uint32, void *response, std::size_t encodedSize) override {
        const Status status = failure(
            statusTooLarge, "the answer (" + std::to_string(encodedSize) +
                                " bytes) is larger than one frame may carry; ask for less");
        setStatus(*static_cast<Response *>(response), status);
        t_request.status = status.code;
    }
    void answerEncoded(uint32, std::size_t encodedSize) override {
        const double milliseconds =
            std::chrono::duration<double, std::milli>(SteadyClock::now() - t_request.start).count();
        service_.log().request(t_request.action, t_request.verb, t_request.status, milliseconds,
                               encodedSize);
    }

private:
    Service &service_;
};

Status requireText(const std::string &value, const char *field) {
    if (value.empty())
        return failure(statusBadRequest, std::string(field) + " is empty");
    return Status{};
}

Status notFound(const char *what, const std::string &id) {
    return failure(statusNotFound, std::string("no ") + what + " with id \"" + printable(id) + "\"");
}

template <class Record>
Status foundOrNotFound(std::optional<Record> found, Record &out, const char *what,
                       const std::string &id) {
    if (!found)
        return notFound(what, id);
    out = std::move(*found);
    return Status{};
}

// A record asked for by the request's "id".
template <class Record, class Read>
Status byId(const std::string &id, Record &out, const char *what, Read &&read) {
    Status input = requireText(id, "id");
    if (!input.ok())
        return input;
    return foundOrNotFound(read(id), out, what, id);
}

// The single-record answer of a list: the installation may hold several, and
// the first by id stays the same between requests.
template <class Record> Status firstOf(std::vector<Record> records, Record &out, const char *what) {
    if (records.empty())
        return failure(statusNotFound, std::string("no ") + what);
    out = std::move(records.front());
    return Status{};
}

// GET, or PUT then GET, of a record that carries its own id: PUT checks the
// id, then putChecks, and replaces the stored record.
template <class Record, class Replace, class Read>
Status readOrReplace(Verb verb, const Record &record, const std::string &idField,
                     const Status &putChecks, Record &out, const char *what, Replace &&replace,
                     Read &&read) {
    Status input = requireText(record.id, (idField + ".id").c_str());
    if (input.ok() && verb == verbPut)
        input = putChecks;
    if (!input.ok())
        return input;
    if (verb == verbPut && !replace(record))
        return notFound(what, record.id);
    return foundOrNotFound(read(record.id), out, what, record.id);
}

Status checkPort(int32 port, const char *field) {
    if (port < 1 || port > 65535)
        return failure(statusBadRequest, std::string(field) + " is not a port (1 to 65535)");
    return Status{};
}

Status checkFlag(int32 flag, const char *field) {
    if (flag != 0 && flag != 1)
        return failure(statusBadRequest, std::string(field) + " is neither 0 nor 1");
    return Status{};
}

// The first failure of a list of checks, else OK.
Status firstFailure(std::initializer_list<Status> checks) {
    for (const Status &check : checks)
        if (!check.ok())
            return check;
    return Status{};
}

} // namespace

Service::Service(Store &store, const ServiceOptions &options, const ServiceLog &log)
    : store_(store), options_(options), log_(log), authenticator_(store, options.sessionIdle),
      recordingRowLimit_(options.answerLimit) {} // every row takes a byte at least

Service::~Service() = default;

template <class Callback>
void Service::answer(const typename Action<Callback>::Request &request,
                     typename Action<Callback>::Response &response) {
    using Response = typename Action<Callback>::Response;
    const std::string verbText = startLine<Callback>(request);
    const Verb verb = verbNamed(verbText);

    Status status;
    try {
        if constexpr (Rules<Callback>::needsSession)
            status = authenticator_.session(request.request_data.session_key);
        if (status.ok() && !(Rules<Callback>::verbs & verb))
            status = failure(statusMethodNotAllowed, "verb \"" + printable(verbText) +
                                                         "\" is not allowed; " +
                                                         Action<Callback>::name + " takes " +
                                                         verbList(Rules<Callback>::verbs));
        if (status.ok())
            status = handle(request, response, verb);
    } catch (const std::exception &error) {
        log_.write(LogLevel::error, std::string(Action<Callback>::name) + ": " + error.what());
        status = failure(statusInternalError, "internal error");
    }
    if (!status.ok()) {
        if constexpr (std::is_same_v<Response, DeviceIdImageResData>)
            delete[] response.image_data;
        response = Response();
    }
    setStatus(response, status);
    t_request.status = status.code;
}

#define DS_ACTION(name, id, RequestType, ResponseType)                                      \
    template void Service::answer<RecvResponseCallback##name>(const RequestType &,          \
                                                              ResponseType &);
#include "actions.def"
#undef DS_ACTION

// Authentication.

Status Service::handle(const VerifyAuthenticationReqData &request, VerifyAuthenticationResData &,
                       Verb) {
    return authenticator_.verify(request.url, request.signature, request.timestamp,
                                 request.session_key, request.vendor);
}

Status Service::handle(const AuthenticationReqData &request, AuthenticationResData &response, Verb) {
    return authenticator_.login(request.username, request.password, response.session_key,
                                response.secret_key);
}

Status Service::handle(const AuthenticationSessionkeyReqData &request,
                       AuthenticationSessionkeyResData &, Verb) {
    return authenticator_.session(request.session_key.empty() ? request.request_data.session_key
                                                              : request.session_key);
}

// Services, SMTP settings, FTP sites.

Status Service::handle(const ServiceReqData &, ServiceResData &response, Verb) {
    response.services_data = store_.services();
    return Status{};
}

Status Service::handle(const ServiceIdReqData &request, ServiceIdResData &response, Verb) {
    return byId(request.id, response.service_data, "service",
                [&](const std::string &id) { return store_.service(id); });
}

Status Service::handle(const SmtpSettingReqData &, SmtpSettingResData &response, Verb) {
    return firstOf(store_.smtpSettings(), response.smtp_setting_data, "SMTP setting");
}

Status Service::handle(const SmtpSettingIdReqData &request, SmtpSettingIdResData &response,
                       Verb verb) {
    const SmtpSettingData &setting = request.smtp_setting_data;
    return readOrReplace(
        verb, setting, "smtp_setting_data",
        firstFailure({requireText(setting.host, "smtp_setting_data.host"),
                      checkPort(setting.port, "smtp_setting_data.port"),
                      checkFlag(setting.need_auth, "smtp_setting_data.need_auth"),
                      checkFlag(setting.need_ssl, "smtp_setting_data.need_ssl")}),
        response.smtp_setting_data, "SMTP setting",
        [&](const SmtpSettingData &changed) { return store_.updateSmtpSetting(changed); },
        [&](const std::string &id) { return store_.smtpSetting(id); });
}

Status Service::handle(const FtpSiteReqData &, FtpSiteResData &response, Verb) {
    return firstOf(store_.ftpSites(), response.ftp_site_data, "FTP site");
}

Status Service::handle(const FtpSiteIdReqData &request, FtpSiteIdResData &response, Verb verb) {
    const FtpSiteData &site = request.ftp_site_data;
    return readOrReplace(
        verb, site, "ftp_site_data",
        firstFailure({requireText(site.host, "ftp_site_data.host"),
                      checkPort(site.port, "ftp_site_data.port"),
                      checkFlag(site.passive_mode, "ftp_site_data.passive_mode")}),
        response.ftp_site_data, "FTP site",
        [&](const FtpSiteData &changed) { return store_.updateFtpSite(changed); },
        [&](const std::string &id) { return store_.ftpSite(id); });
}

// Contacts.

Status Service::handle(const ContactReqData &request, ContactResData &response, Verb verb) {
    if (verb == verbGet) {
        response.contact_data = store_.contacts();
        return Status{};
    }
    ContactData contact = request.contact_data;
    if (!contact.id.empty())
        return failure(statusBadRequest, "contact_data.id must be empty: the service assigns it");
    Status input = requireText(contact.name, "contact_data.name");
    if (!input.ok())
        return input;
    store_.addContact(contact);
    response.contact_data.push_back(std::move(contact));
    return Status{statusCreated, "Created"};
}

Status Service::handle(const ContactIdReqData &request, ContactIdResData &response, Verb verb) {
    const ContactData &contact = request.contact_data;
    Status input = requireText(contact.id, "contact_data.id");
    if (input.ok() && verb == verbPut)
        input = requireText(contact.name, "contact_data.name");
    if (!input.ok())
        return input;
    if (verb == verbPut && !store_.updateContact(contact))
        return notFound("contact", contact.id);
    Status found = foundOrNotFound(store_.contact(contact.id), response.contact_data, "contact",
                                   contact.id);
    // Deleted after the read, so that the answer shows what was removed; a
    // concurrent delete of the same contact makes this one a 404.
    if (found.ok() && verb == verbDelete && !store_.deleteContact(contact.id))
        return notFound("contact", contact.id);
    return found;
}

// Devices and what belongs to them.

Status Service::handle(const DeviceReqData &, DeviceResData &response, Verb) {
    response.device_data = store_.devices();
    return Status{};
}

Status Service::handle(const DeviceIdReqData &request, DeviceIdResData &response, Verb) {
    return byId(request.id, response.device_data, "device",
                [&](const std::string &id) { return store_.device(id); });
}

namespace {

// 404 unless the store knows the device.
Status knownDevice(Store &store, const std::string &id, const char *field) {
    Status input = requireText(id, field);
    if (input.ok() && !store.device(id))
        return notFound("device", id);
    return input;
}

} // namespace

Status Service::handle(const DeviceIdStreamprofileReqData &request,
                       DeviceIdStreamprofileResData &response, Verb) {
    Status device = knownDevice(store_, request.id, "id");
    if (device.ok())
        response.streamprofile_data = store_.streamProfiles(request.id);
    return device;
}

Status Service::handle(const DeviceIdStreamprofileIdReqData &request,
                       DeviceIdStreamprofileIdResData &response, Verb) {
    Status input = firstFailure({requireText(request.stream_id, "stream_id"),
                                 knownDevice(store_, request.device_id, "device_id")});
    if (!input.ok())
        return input;
    return foundOrNotFound(store_.streamProfile(request.device_id, request.stream_id),
                           response.streamprofile_data, "stream profile", request.stream_id);
}

Status Service::recordings(const std::string &start, const std::string &end,
                           const std::optional<std::string> &deviceId,
                           std::vector<RecordData> &out) {
    const char *const form = " is not an ISO-8601 UTC time (YYYY-MM-DDTHH:MM:SSZ)";
    Status input = firstFailure({requireText(start, "start"), requireText(end, "end")});
    if (!input.ok())
        return input;
    const std::optional<UnixSeconds> from = parseUtcTime(start), to = parseUtcTime(end);
    if (!from)
        return failure(statusBadRequest, std::string("start") + form);
    if (!to)
        return failure(statusBadRequest, std::string("end") + form);
    if (*to < *from)
        return failure(statusBadRequest, "end is before start");
    out = store_.recordings(*from, *to, deviceId, recordingRowLimit_ + 1);
    if (out.size() > recordingRowLimit_)
        return failure(statusTooLarge, "more than " + std::to_string(recordingRowLimit_) +
                                           " recordings cannot fit one answer; ask for a shorter range");
    return Status{};
}

Status Service::handle(const RecordReqData &request, RecordResData &response, Verb) {
    return recordings(request.start, request.end, std::nullopt, response.record_data);
}

Status Service::handle(const DeviceIdRecordReqData &request, DeviceIdRecordResData &response,
                       Verb) {
    Status device = knownDevice(store_, request.id, "id");
    if (!device.ok())
        return device;
    return recordings(request.start, request.end, request.id, response.record_data);
}

Status Service::handle(const TrackerReqData &, TrackerResData &response, Verb) {
    response.tracker_data_list = store_.trackers();
    return Status{};
}

Status Service::handle(const DeviceIdImageReqData &request, DeviceIdImageResData &response, Verb) {
    Status device = knownDevice(store_, request.id, "id");
    if (!device.ok())
        return device;
    std::optional<DeviceImage> image = store_.deviceImage(request.id);
    if (!image)
        return failure(statusNotFound, "device \"" + printable(request.id) + "\" has no image");
    // A new[] array: the serving side releases it once the answer is encoded.
    response.image_data = new char[image->bytes.size()];
    std::memcpy(response.image_data, image->bytes.data(), image->bytes.size());
    response.image_data_opaque_size = static_cast<opaque_size>(image->bytes.size());
    return Status{};
}

Status Service::handle(const RtspSettingReqData &, RtspSettingResData &response, Verb) {
    RtspSetting setting = store_.rtspSetting();
    response.ips = std::move(setting.ips);
    response.port = setting.port;
    return Status{};
}

Status Service::handle(const ComponentReqData &request, ComponentResData &response, Verb) {
    if (request.device_id.empty()) {
        response.component_data = store_.components(std::nullopt);
        return Status{};
    }
    Status device = knownDevice(store_, request.device_id, "device_id");
    if (device.ok())
        response.component_data = store_.components(request.device_id);
    return device;
}

Status Service::handle(const ComponentIdReqData &request, ComponentIdResData &response, Verb) {
    return byId(request.id, response.component_data, "component",
                [&](const std::string &id) { return store_.component(id); });
}

void Service::registerWith(DataServiceStub &stub) {
    // The smallest a recording can add to an answer: more rows than fit the
    // limit at that size are refused before they are read and encoded.
    RecordResData none, one;
    one.record_data.resize(1);
    const std::size_t perRow = std::max<std::size_t>(
        1, encodedBytes(stub.codec, one).size() - encodedBytes(stub.codec, none).size());
    recordingRowLimit_ = options_.answerLimit / perRow;
    forEachAction([&](auto *tag) {
        using Callback = std::remove_pointer_t<decltype(tag)>;
        handlers_.push_back(std::make_unique<ActionHandler<Callback>>(*this));
        stub.registerHandler(Action<Callback>::methodId, handlers_.back().get(), nullptr);
    });
}

} // namespace DataServiceNamespace::server
