// The reference service driven over TCP as a separate process: every action
// on the sample installation, every verb and status, authentication and its
// failures, writes across a restart, the command line's errors, many clients
// at once, logins answered off the I/O loops, and stopping with requests in
// flight.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "Authentication.h"
#include "InstallationFile.h"
#include "SampleRecords.h"
#include "ServerProcess.h"
#include "ServingWorkers.h"
#include "SqliteStore.h"
#include "UtcTime.h"
#include "velorn_ipc.h"

namespace DataServiceNamespace::testing {
namespace {

using namespace server;

const Installation &sample() {
    static const Installation installation = readInstallationFile(DS_SAMPLE_INSTALLATION);
    return installation;
}

template <class Record> std::vector<std::string> idsOf(const std::vector<Record> &records) {
    std::vector<std::string> ids;
    for (const Record &record : records)
        ids.push_back(record.id);
    return ids;
}

template <class Record> std::vector<std::string> sortedIds(const std::vector<Record> &records) {
    std::vector<std::string> ids = idsOf(records);
    std::sort(ids.begin(), ids.end());
    return ids;
}

template <class Record> Record firstById(std::vector<Record> records) {
    return *std::min_element(records.begin(), records.end(),
                             [](const Record &a, const Record &b) { return a.id < b.id; });
}

// The recordings of the sample that overlap [from, to], of one device or all.
std::size_t expectedRecordings(UnixSeconds from, UnixSeconds to, const std::string &device = "") {
    std::size_t count = 0;
    for (const RecordData &record : sample().recordings)
        count += (device.empty() || record.device_id == device) &&
                 *parseUtcTime(record.start) <= to && *parseUtcTime(record.end) >= from;
    for (const auto &schedule : sample().recordingSchedules)
        for (int64_t i = 0; i < schedule.count && (device.empty() || schedule.deviceId == device); ++i) {
            const UnixSeconds start = schedule.first + i * schedule.segmentSeconds;
            count += start <= to && start + schedule.segmentSeconds - 1 >= from;
        }
    return count;
}

// The first day of the sample's recordings, as a request range.
std::pair<std::string, std::string> firstDay() {
    UnixSeconds first = INT64_MAX;
    for (const RecordData &record : sample().recordings)
        first = std::min(first, *parseUtcTime(record.start));
    for (const auto &schedule : sample().recordingSchedules)
        first = std::min(first, schedule.first);
    return {formatUtcTime(first), formatUtcTime(first + 86400 - 1)};
}

// The camera with the smallest id.
const DeviceData &sampleCamera() {
    const auto &devices = sample().devices;
    return *std::min_element(devices.begin(), devices.end(),
                             [](const DeviceData &a, const DeviceData &b) { return a.id < b.id; });
}

std::string signature(const std::string &secret, const std::string &url, const std::string &timestamp,
                      const std::string &vendor) {
    return hmacSha256Hex(secret, url + "\n" + timestamp + "\n" + vendor);
}

VerifyAuthenticationReqData signedRequest(const std::pair<std::string, std::string> &keys,
                                          long long offset = 0) {
    VerifyAuthenticationReqData request;
    request.url = "/devices";
    request.timestamp = std::to_string(static_cast<long long>(std::time(nullptr)) + offset);
    request.vendor = "ds-tests";
    request.session_key = keys.first;
    request.signature = signature(keys.second, request.url, request.timestamp, request.vendor);
    return request;
}

// One running service on a fresh sample database, logged in.
class SampleService : public ::testing::Test {
protected:
    void SetUp() override {
        makeSampleDatabase(database());
        start();
    }
    // Every test ends with a clean stop: exit status 0 also means no
    // sanitizer report in the service.
    void TearDown() override {
        client.reset();
        if (server && server->pid > 0) {
            EXPECT_EQ(server->stop(SIGTERM), 0) << server->log();
        }
    }
    void start(const std::vector<std::string> &extra = {}) {
        server = std::make_unique<ServingProcess>(database(), extra);
        client = std::make_unique<Client>(server->port);
        keys = client->login();
        ASSERT_EQ(keys.first.size(), 64u) << server->log();
    }
    void restart(const std::vector<std::string> &extra = {}) {
        client.reset();
        ASSERT_EQ(server->stop(SIGTERM), 0);
        start(extra);
    }
    std::filesystem::path database() const { return folder / "service.db"; }

    template <class Callback>
    typename Action<Callback>::Response call(typename Action<Callback>::Request request) {
        return client->call<Callback>(request);
    }
    template <class Request> Request asked(const std::string &verb = "GET") {
        return request<Request>(keys.first, verb);
    }

    TemporaryFolder folder;
    std::unique_ptr<ServingProcess> server;
    std::unique_ptr<Client> client;
    std::pair<std::string, std::string> keys; // session key, secret key
};

// Every action answers 200 with what the sample installation holds.
TEST_F(SampleService, AnswersEveryActionFromTheInstallation) {
    const DeviceData &camera = sampleCamera();
    const auto [dayStart, dayEnd] = firstDay();
    std::vector<StreamprofileData> profiles;
    std::vector<std::string> cameraComponents;
    for (const auto &profile : sample().streamProfiles)
        if (profile.deviceId == camera.id)
            profiles.push_back(profile.data);
    for (const auto &component : sample().components)
        if (component.deviceId == camera.id)
            cameraComponents.push_back(component.data.id);
    std::vector<ComponentData> allComponents;
    for (const auto &component : sample().components)
        allComponents.push_back(component.data);
    std::vector<unsigned char> image;
    for (const auto &entry : sample().images)
        if (entry.deviceId == camera.id)
            image = entry.image.bytes;

    // action -> its check, each returning the status the service answered.
    const std::vector<std::pair<std::string, std::function<int()>>> rows = {
        {"verify_authentication", [&] { return call<RecvResponseCallbackverify_authentication>(signedRequest(keys)).error.errorCode; }},
        {"authentications", [&] {
             auto other = client->login();
             EXPECT_NE(other.first, keys.first);
             EXPECT_EQ(other.second.find_first_not_of("0123456789abcdef"), std::string::npos);
             return other.first.empty() ? 401 : 200;
         }},
        {"authentications_sessionkey", [&] {
             auto request = asked<AuthenticationSessionkeyReqData>();
             request.session_key = keys.first;
             auto response = call<RecvResponseCallbackauthentications_sessionkey>(request);
             EXPECT_EQ(response.service_error.errorCode, response.error.errorCode);
             return response.error.errorCode;
         }},
        {"services", [&] {
             auto response = call<RecvResponseCallbackservices>(asked<ServiceReqData>());
             EXPECT_EQ(idsOf(response.services_data), sortedIds(sample().services));
             return response.error.errorCode;
         }},
        {"services_id", [&] {
             auto request = asked<ServiceIdReqData>();
             const ServiceData expected = firstById(sample().services);
             request.id = expected.id;
             auto response = call<RecvResponseCallbackservices_id>(request);
             EXPECT_EQ(recordDifference(response.service_data, expected), "");
             return response.error.errorCode;
         }},
        {"smtp_settings", [&] {
             auto response = call<RecvResponseCallbacksmtp_settings>(asked<SmtpSettingReqData>());
             EXPECT_EQ(recordDifference(response.smtp_setting_data, firstById(sample().smtpSettings)), "");
             return response.error.errorCode;
         }},
        {"smtp_settings_id", [&] {
             auto request = asked<SmtpSettingIdReqData>();
             request.smtp_setting_data.id = sample().smtpSettings.back().id;
             auto response = call<RecvResponseCallbacksmtp_settings_id>(request);
             EXPECT_EQ(recordDifference(response.smtp_setting_data, sample().smtpSettings.back()), "");
             return response.error.errorCode;
         }},
        {"ftp_sites", [&] {
             auto response = call<RecvResponseCallbackftp_sites>(asked<FtpSiteReqData>());
             EXPECT_EQ(recordDifference(response.ftp_site_data, firstById(sample().ftpSites)), "");
             return response.error.errorCode;
         }},
        {"ftp_sites_id", [&] {
             auto request = asked<FtpSiteIdReqData>();
             request.ftp_site_data.id = sample().ftpSites.back().id;
             auto response = call<RecvResponseCallbackftp_sites_id>(request);
             EXPECT_EQ(recordDifference(response.ftp_site_data, sample().ftpSites.back()), "");
             return response.error.errorCode;
         }},
        {"contacts", [&] {
             auto response = call<RecvResponseCallbackcontacts>(asked<ContactReqData>());
             EXPECT_EQ(idsOf(response.contact_data), sortedIds(sample().contacts));
             return response.error.errorCode;
         }},
        {"contacts_id", [&] {
             auto request = asked<ContactIdReqData>();
             request.contact_data.id = sample().contacts.front().id;
             auto response = call<RecvResponseCallbackcontacts_id>(request);
             EXPECT_EQ(recordDifference(response.contact_data, sample().contacts.front()), "");
             return response.error.errorCode;
         }},
        {"devices", [&] {
             auto response = call<RecvResponseCallbackdevices>(asked<DeviceReqData>());
             EXPECT_EQ(idsOf(response.device_data), sortedIds(sample().devices));
             return response.error.errorCode;
         }},
        {"devices_id", [&] {
             auto request = asked<DeviceIdReqData>();
             request.id = camera.id;
             auto response = call<RecvResponseCallbackdevices_id>(request);
             EXPECT_EQ(recordDifference(response.device_data, camera), "");
             return response.error.errorCode;
         }},
        {"devices_id_streamprofiles", [&] {
             auto request = asked<DeviceIdStreamprofileReqData>();
             request.id = camera.id;
             auto response = call<RecvResponseCallbackdevices_id_streamprofiles>(request);
             EXPECT_EQ(sortedIds(response.streamprofile_data), sortedIds(profiles));
             return response.error.errorCode;
         }},
        {"devices_id_streamprofiles_id", [&] {
             auto request = asked<DeviceIdStreamprofileIdReqData>();
             request.device_id = camera.id;
             request.stream_id = profiles.back().id;
             auto response = call<RecvResponseCallbackdevices_id_streamprofiles_id>(request);
             EXPECT_EQ(recordDifference(response.streamprofile_data, profiles.back()), "");
             return response.error.errorCode;
         }},
        {"records", [&] {
             auto request = asked<RecordReqData>();
             std::tie(request.start, request.end) = std::tie(dayStart, dayEnd);
             auto response = call<RecvResponseCallbackrecords>(request);
             EXPECT_EQ(response.record_data.size(), expectedRecordings(*parseUtcTime(dayStart), *parseUtcTime(dayEnd)));
             return response.error.errorCode;
         }},
        {"devices_id_records", [&] {
             auto request = asked<DeviceIdRecordReqData>();
             request.id = camera.id;
             std::tie(request.start, request.end) = std::tie(dayStart, dayEnd);
             auto response = call<RecvResponseCallbackdevices_id_records>(request);
             EXPECT_EQ(response.record_data.size(),
                       expectedRecordings(*parseUtcTime(dayStart), *parseUtcTime(dayEnd), camera.id));
             for (const RecordData &record : response.record_data)
                 EXPECT_EQ(record.device_id, camera.id);
             return response.error.errorCode;
         }},
        {"trackers", [&] {
             auto response = call<RecvResponseCallbacktrackers>(asked<TrackerReqData>());
             EXPECT_EQ(response.tracker_data_list.size(), sample().trackers.size());
             return response.error.errorCode;
         }},
        {"devices_id_image", [&] {
             auto request = asked<DeviceIdImageReqData>();
             request.id = camera.id;
             DeviceIdImageResData response;
             response.image_file_path = folder.path.string();
             response.device_id = camera.id;
             EXPECT_TRUE(client->exchange<RecvResponseCallbackdevices_id_image>(request, response));
             const std::string bytes(response.image_data, response.image_data_opaque_size);
             delete[] response.image_data;
             EXPECT_EQ(bytes, std::string(image.begin(), image.end()));
             std::ifstream stored(response.image_file_path, std::ios::binary);
             EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stored), {}), bytes);
             return response.error.errorCode;
         }},
        {"rtsp_setting", [&] {
             auto response = call<RecvResponseCallbackrtsp_setting>(asked<RtspSettingReqData>());
             EXPECT_EQ(response.ips, sample().rtspSetting.ips);
             EXPECT_EQ(response.port, sample().rtspSetting.port);
             return response.error.errorCode;
         }},
        {"components", [&] {
             auto request = asked<ComponentReqData>();
             EXPECT_EQ(idsOf(call<RecvResponseCallbackcomponents>(request).component_data), sortedIds(allComponents));
             request.device_id = camera.id;
             auto response = call<RecvResponseCallbackcomponents>(request);
             EXPECT_EQ(idsOf(response.component_data), cameraComponents);
             return response.error.errorCode;
         }},
        {"components_id", [&] {
             auto request = asked<ComponentIdReqData>();
             request.id = allComponents.front().id;
             auto response = call<RecvResponseCallbackcomponents_id>(request);
             EXPECT_EQ(recordDifference(response.component_data, allComponents.front()), "");
             return response.error.errorCode;
         }},
    };
    ASSERT_EQ(rows.size(), actionCount);
    for (const auto &[action, check] : rows) {
        SCOPED_TRACE(action);
        EXPECT_EQ(check(), 200);
    }
}

class Refusals : public SampleService {
public:
    using SampleService::asked;
    using SampleService::call;
    using SampleService::keys;
};

TEST_F(Refusals, NameTheFieldOrTheRuleThatWasBroken) {
    const std::string camera = sampleCamera().id;
    auto records = [](const char *start, const char *end, const std::string &device = "") {
        return [=](Refusals &test) {
            if (device.empty()) {
                auto request = test.asked<RecordReqData>();
                request.start = start, request.end = end;
                return test.call<RecvResponseCallbackrecords>(request).error;
            }
            auto request = test.asked<DeviceIdRecordReqData>();
            request.id = device, request.start = start, request.end = end;
            return test.call<RecvResponseCallbackdevices_id_records>(request).error;
        };
    };
    const std::vector<std::tuple<const char *, std::function<ServiceError(Refusals &)>, int, std::string>> rows = {
        {"empty id", [](Refusals &t) { return t.call<RecvResponseCallbackdevices_id>(t.asked<DeviceIdReqData>()).error; },
         400, "id is empty"},
        {"malformed start", records("yesterday", "2026-11-02T00:00:00Z"), 400,
         "start is not an ISO-8601 UTC time (YYYY-MM-DDTHH:MM:SSZ)"},
        {"malformed end", records("2026-11-01T00:00:00Z", "2026-02-30T00:00:00Z", camera), 400,
         "end is not an ISO-8601 UTC time (YYYY-MM-DDTHH:MM:SSZ)"},
        {"end before start", records("2026-11-02T00:00:00Z", "2026-11-01T00:00:00Z"), 400, "end is before start"},
        {"empty start", records("", "2026-11-01T00:00:00Z"), 400, "start is empty"},
        {"unknown device", records("2026-11-01T00:00:00Z", "2026-11-02T00:00:00Z", "cam-nowhere"), 404,
         "no device with id \"cam-nowhere\""},
        {"unknown component", [](Refusals &t) {
             auto request = t.asked<ComponentIdReqData>();
             request.id = "comp-nowhere";
             return t.call<RecvResponseCallbackcomponents_id>(request).error;
         }, 404, "no component with id \"comp-nowhere\""},
        {"unknown stream profile", [&](Refusals &t) {
             auto request = t.asked<DeviceIdStreamprofileIdReqData>();
             request.device_id = camera, request.stream_id = "8k";
             return t.call<RecvResponseCallbackdevices_id_streamprofiles_id>(request).error;
         }, 404, "no stream profile with id \"8k\""},
        {"write verb on a read-only action", [](Refusals &t) {
             return t.call<RecvResponseCallbackdevices>(t.asked<DeviceReqData>("POST")).error;
         }, 405, "verb \"POST\" is not allowed; devices takes GET"},
        {"unknown verb", [](Refusals &t) {
             return t.call<RecvResponseCallbackcontacts_id>(t.asked<ContactIdReqData>("PATCH")).error;
         }, 405, "verb \"PATCH\" is not allowed; contacts_id takes GET, PUT, DELETE"},
        {"lower-case verb", [](Refusals &t) {
             return t.call<RecvResponseCallbackcontacts>(t.asked<ContactReqData>("post")).error;
         }, 405, "verb \"post\" is not allowed; contacts takes GET, POST"},
        {"contact with an id", [](Refusals &t) {
             auto request = t.asked<ContactReqData>("POST");
             request.contact_data.id = "contact-99", request.contact_data.name = "Mallory";
             return t.call<RecvResponseCallbackcontacts>(request).error;
         }, 400, "contact_data.id must be empty: the service assigns it"},
        {"SMTP port out of range", [](Refusals &t) {
             auto request = t.asked<SmtpSettingIdReqData>("PUT");
             request.smtp_setting_data = sample().smtpSettings.front();
             request.smtp_setting_data.port = 70000;
             return t.call<RecvResponseCallbacksmtp_settings_id>(request).error;
         }, 400, "smtp_setting_data.port is not a port (1 to 65535)"},
        {"unknown FTP site", [](Refusals &t) {
             auto request = t.asked<FtpSiteIdReqData>("PUT");
             request.ftp_site_data = sample().ftpSites.front();
             request.ftp_site_data.id = "ftp-nowhere";
             return t.call<RecvResponseCallbackftp_sites_id>(request).error;
         }, 404, "no FTP site with id \"ftp-nowhere\""},
        {"no session key", [](Refusals &t) {
             return t.call<RecvResponseCallbacktrackers>(request<TrackerReqData>("")).error;
         }, 401, "session_key is missing"},
        {"made-up session key", [](Refusals &t) {
             return t.call<RecvResponseCallbacktrackers>(request<TrackerReqData>(std::string(64, 'a'))).error;
         }, 401, "session_key is unknown or expired"},
    };
    for (const auto &[what, send, status, message] : rows) {
        SCOPED_TRACE(what);
        const ServiceError error = send(*this);
        EXPECT_EQ(error.errorCode, status);
        EXPECT_EQ(error.errorMesg, message);
    }
}

TEST_F(SampleService, RefusesAnAnswerLargerThanItsLimitWith413) {
    restart({"--max-answer", "1024"});
    const auto [start, end] = firstDay();
    auto request = asked<RecordReqData>();
    std::tie(request.start, request.end) = std::tie(start, end);
    const RecordResData tooMany = call<RecvResponseCallbackrecords>(request);
    EXPECT_EQ(tooMany.error.errorCode, 413);
    EXPECT_TRUE(tooMany.record_data.empty());
    // Under the row estimate, but over the limit once encoded.
    auto devices = asked<DeviceReqData>();
    EXPECT_EQ(call<RecvResponseCallbackdevices>(devices).error.errorCode, 413);
    auto one = asked<DeviceIdReqData>();
    one.id = sampleCamera().id;
    EXPECT_EQ(call<RecvResponseCallbackdevices_id>(one).error.errorCode, 200);
}

TEST_F(SampleService, KeepsWritesAcrossARestart) {
    auto created = asked<ContactReqData>("POST");
    created.contact_data.name = "Night shift";
    created.contact_data.email = "night@example.org";
    const ContactResData added = call<RecvResponseCallbackcontacts>(created);
    ASSERT_EQ(added.error.errorCode, 201);
    ASSERT_EQ(added.contact_data.size(), 1u);
    ContactData contact = added.contact_data.front();
    EXPECT_FALSE(contact.id.empty());

    auto changed = asked<ContactIdReqData>("PUT");
    contact.description = "calls the guard";
    changed.contact_data = contact;
    EXPECT_EQ(call<RecvResponseCallbackcontacts_id>(changed).error.errorCode, 200);
    auto removed = asked<ContactIdReqData>("DELETE");
    removed.contact_data.id = sample().contacts.front().id;
    const ContactIdResData deleted = call<RecvResponseCallbackcontacts_id>(removed);
    EXPECT_EQ(deleted.error.errorCode, 200);
    EXPECT_EQ(deleted.contact_data.name, sample().contacts.front().name);

    auto smtp = asked<SmtpSettingIdReqData>("PUT");
    smtp.smtp_setting_data = sample().smtpSettings.front();
    smtp.smtp_setting_data.host = "mail2.example.org";
    EXPECT_EQ(call<RecvResponseCallbacksmtp_settings_id>(smtp).error.errorCode, 200);
    auto ftp = asked<FtpSiteIdReqData>("PUT");
    ftp.ftp_site_data = sample().ftpSites.front();
    ftp.ftp_site_data.passive_mode = 1 - ftp.ftp_site_data.passive_mode;
    EXPECT_EQ(call<RecvResponseCallbackftp_sites_id>(ftp).error.errorCode, 200);

    restart();
    auto read = asked<ContactIdReqData>();
    read.contact_data.id = contact.id;
    EXPECT_EQ(recordDifference(call<RecvResponseCallbackcontacts_id>(read).contact_data, contact), "");
    read.contact_data.id = sample().contacts.front().id;
    EXPECT_EQ(call<RecvResponseCallbackcontacts_id>(read).error.errorCode, 404);
    auto smtpRead = asked<SmtpSettingIdReqData>();
    smtpRead.smtp_setting_data.id = smtp.smtp_setting_data.id;
    EXPECT_EQ(recordDifference(call<RecvResponseCallbacksmtp_settings_id>(smtpRead).smtp_setting_data,
                               smtp.smtp_setting_data), "");
    auto ftpRead = asked<FtpSiteIdReqData>();
    ftpRead.ftp_site_data.id = ftp.ftp_site_data.id;
    EXPECT_EQ(recordDifference(call<RecvResponseCallbackftp_sites_id>(ftpRead).ftp_site_data,
                               ftp.ftp_site_data), "");
}

TEST_F(SampleService, RefusesEachKindOfAuthenticationFailure) {
    const VerifyAuthenticationReqData used = signedRequest(keys);
    ASSERT_EQ(call<RecvResponseCallbackverify_authentication>(used).error.errorCode, 200);
    auto tampered = signedRequest(keys);
    tampered.url = "/devices/cam-99";
    auto unknownSession = signedRequest(keys);
    unknownSession.session_key = std::string(64, 'b');
    auto malformedTime = signedRequest(keys);
    malformedTime.timestamp = "12:00";
    // A session last used nine hours ago (the default idle time is eight).
    const std::pair<std::string, std::string> aged{randomHex(32), randomHex(32)};
    SqliteStore(database().string())
        .createSession({aged.first, aged.second, userName, std::time(nullptr) - 9 * 3600});

    const std::vector<std::tuple<const char *, std::function<ServiceError()>, std::string>> rows = {
        {"wrong password", [&] { return call<RecvResponseCallbackauthentications>([] {
             AuthenticationReqData r; r.username = userName; r.password = "tr0ub4dor&3"; return r; }()).error; },
         "wrong user name or password"},
        {"unknown user", [&] { return call<RecvResponseCallbackauthentications>([] {
             AuthenticationReqData r; r.username = "nobody"; r.password = userPassword; return r; }()).error; },
         "wrong user name or password"},
        {"expired session", [&] { return call<RecvResponseCallbackdevices>(request<DeviceReqData>(aged.first)).error; },
         "session_key is unknown or expired"},
        {"bad signature", [&] { return call<RecvResponseCallbackverify_authentication>(tampered).error; },
         "signature does not match"},
        {"stale timestamp", [&] { return call<RecvResponseCallbackverify_authentication>(signedRequest(keys, -301)).error; },
         "timestamp is more than 300 s away from the service's clock"},
        {"timestamp from the future", [&] { return call<RecvResponseCallbackverify_authentication>(signedRequest(keys, 301)).error; },
         "timestamp is more than 300 s away from the service's clock"},
        {"replayed signature", [&] { return call<RecvResponseCallbackverify_authentication>(used).error; },
         "signature was already used"},
        {"signature for an unknown session", [&] { return call<RecvResponseCallbackverify_authentication>(unknownSession).error; },
         "session_key is unknown or expired"},
        {"missing key", [&] { return call<RecvResponseCallbackservices>(request<ServiceReqData>("")).error; },
         "session_key is missing"},
        {"session check of a missing key", [&] {
             return call<RecvResponseCallbackauthentications_sessionkey>(request<AuthenticationSessionkeyReqData>("")).error; },
         "session_key is missing"},
    };
    for (const auto &[what, send, message] : rows) {
        SCOPED_TRACE(what);
        const ServiceError error = send();
        EXPECT_EQ(error.errorCode, 401);
        EXPECT_EQ(error.errorMesg, message);
    }
    malformedTime.signature = signature(keys.second, malformedTime.url, malformedTime.timestamp, malformedTime.vendor);
    EXPECT_EQ(call<RecvResponseCallbackverify_authentication>(malformedTime).error.errorCode, 400);
}

TEST_F(SampleService, SlowsDownGuessingOneUsersPasswordButNotOtherUsers) {
    ASSERT_EQ(runServer({"users", "add", "second", "--db", database().string()}, "another one\n").exitStatus, 0);
    // The first refusals answer at once; after them, even the right password waits.
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_TRUE(client->login(userName, "guess " + std::to_string(attempt)).first.empty());
    AuthenticationReqData right;
    right.username = userName;
    right.password = userPassword;
    const AuthenticationResData slowed = call<RecvResponseCallbackauthentications>(right);
    EXPECT_EQ(slowed.error.errorCode, 401);
    EXPECT_EQ(slowed.error.errorMesg.rfind("too many failed logins for this user; try again in ", 0), 0u)
        << slowed.error.errorMesg;
    EXPECT_FALSE(client->login("second", "another one").first.empty());
    // The existing session of the slowed-down user keeps working.
    EXPECT_EQ(call<RecvResponseCallbacktrackers>(asked<TrackerReqData>()).error.errorCode, 200);
}

TEST_F(SampleService, LogsOneLinePerRequestWithoutSecrets) {
    const auto signedOnce = signedRequest(keys);
    call<RecvResponseCallbackverify_authentication>(signedOnce);
    call<RecvResponseCallbackdevices>(asked<DeviceReqData>("DELETE"));
    client.reset();
    ASSERT_EQ(server->stop(SIGTERM), 0);
    const std::string log = server->log();
    for (const std::string &secret : {keys.first, keys.second, signedOnce.signature, std::string(userPassword)})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
    for (const char *line : {" info authentications GET 200 ", " info verify_authentication GET 200 ",
                             " info devices DELETE 405 "})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

// A store that fails under the service (here a table dropped by another
// program) is answered 500 with no detail; the detail goes to the log.
TEST_F(SampleService, AnswersInternalErrorWhenTheStoreFails) {
    sqlite3 *database = nullptr;
    ASSERT_EQ(sqlite3_open(this->database().c_str(), &database), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(database, "DROP TABLE trackers", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(database);
    const TrackerResData failed = call<RecvResponseCallbacktrackers>(asked<TrackerReqData>());
    EXPECT_EQ(failed.error.errorCode, 500);
    EXPECT_EQ(failed.error.errorMesg, "internal error");
    EXPECT_EQ(call<RecvResponseCallbackdevices>(asked<DeviceReqData>()).error.errorCode, 200);
    client.reset();
    ASSERT_EQ(server->stop(SIGTERM), 0);
    EXPECT_NE(server->log().find(" error trackers: "), std::string::npos) << server->log();
}

// Eight clients, each with its own session, ask for devices by id at once:
// every answer is the device asked for.
TEST_F(SampleService, AnswersEightClientsAtOnceWithoutLosingOrMixingRequests) {
    constexpr int clients = 8, requests = 1000;
    std::atomic<int> wrong{0}, answered{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            Client own(server->port);
            const std::string session = own.login().first;
            for (int i = 0; i < requests; ++i) {
                const DeviceData &device = sample().devices[(c + i) % sample().devices.size()];
                auto request = testing::request<DeviceIdReqData>(session);
                request.id = device.id;
                const DeviceIdResData response = own.call<RecvResponseCallbackdevices_id>(request);
                answered += response.error.errorCode == 200;
                wrong += response.device_data.id != device.id;
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(answered.load(), clients * requests);
    EXPECT_EQ(wrong.load(), 0);
}

// count logins of one name sent on one connection without waiting for
// their answers, which may come in any order. Declared after the client it
// sends on; waits for every answer before it goes.
class LoginBatch {
public:
    LoginBatch(void *handle, std::size_t count, const std::string &name = userName,
               const std::string &password = userPassword)
        : answers(count) {
        request.username = name;
        request.password = password;
        for (AuthenticationResData &answer : answers)
            EXPECT_EQ(send_service_request(handle, name_, &request, callback_, &answer), 1);
    }
    ~LoginBatch() {
        if (waitAll()) // a request given up on may still complete into its callback
            destroy_callback_functor(name_, callback_);
    }
    LoginBatch(const LoginBatch &) = delete;
    LoginBatch &operator=(const LoginBatch &) = delete;

    std::size_t done() const {
        return static_cast<std::size_t>(std::count_if(
            answers.begin(), answers.end(),
            [](const AuthenticationResData &answer) { return completionFlag(answer.error) == 1; }));
    }
    bool waitAll() const {
        return std::all_of(answers.begin(), answers.end(), [](const AuthenticationResData &answer) {
            return Client::waitForCompletion(answer.error);
        });
    }
    // How many answers carry code, after waitAll.
    std::size_t withCode(int32 code) const {
        return static_cast<std::size_t>(
            std::count_if(answers.begin(), answers.end(),
                          [&](const AuthenticationResData &answer) { return answer.error.errorCode == code; }));
    }

    AuthenticationReqData request;
    std::vector<AuthenticationResData> answers;

private:
    char *const name_ = const_cast<char *>("authentications");
    void *const callback_ = create_callback_functor(name_);
};

// Logins queued on two connections (one on each I/O loop): a request behind
// them on one of those connections, and one on a third connection, are
// answered while most of the logins still wait for the worker, and every
// login is answered in the end (busy, if it waited too long on a loaded
// machine).
TEST_F(SampleService, AnswersOtherRequestsWhileLoginsAreHashed) {
    constexpr std::size_t perConnection = 4, logins = 2 * perConnection;
    Client first(server->port), second(server->port);
    LoginBatch onFirst(first.handle, perConnection), onSecond(second.handle, perConnection);
    auto behind = asked<AuthenticationSessionkeyReqData>();
    behind.session_key = keys.first;
    EXPECT_EQ(first.call<RecvResponseCallbackauthentications_sessionkey>(behind).error.errorCode, 200);
    const std::size_t doneAtBehind = onFirst.done() + onSecond.done();
    EXPECT_EQ(call<RecvResponseCallbackdevices>(asked<DeviceReqData>()).error.errorCode, 200);
    const std::size_t doneAtDevices = onFirst.done() + onSecond.done();
    EXPECT_LT(doneAtBehind, logins / 2);
    EXPECT_LT(doneAtDevices, logins / 2);
    ASSERT_TRUE(onFirst.waitAll() && onSecond.waitAll());
    const std::size_t ok = onFirst.withCode(200) + onSecond.withCode(200);
    EXPECT_GT(ok, 0u);
    EXPECT_EQ(ok + onFirst.withCode(503) + onSecond.withCode(503), logins);
}

// More logins at once than the worker's queue holds: those that find it
// full (or wait too long in it) are answered 503, none is lost, and the
// service logs in as usual afterwards.
TEST_F(SampleService, AnswersLoginsBeyondTheQueue503) {
    constexpr std::size_t connections = 4, perConnection = ServingWorkers::defaultCapacity / 2;
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::unique_ptr<LoginBatch>> batches;
    for (std::size_t c = 0; c < connections; ++c)
        clients.push_back(std::make_unique<Client>(server->port));
    for (const auto &own : clients)
        batches.push_back(std::make_unique<LoginBatch>(own->handle, perConnection));
    std::size_t ok = 0, busy = 0;
    for (const auto &batch : batches) {
        ASSERT_TRUE(batch->waitAll());
        ok += batch->withCode(200);
        busy += batch->withCode(503);
        for (const AuthenticationResData &answer : batch->answers)
            if (answer.error.errorCode == 503) {
                EXPECT_EQ(answer.error.errorMesg, "too many logins at once; try again in a moment");
            }
    }
    EXPECT_EQ(ok + busy, connections * perConnection);
    EXPECT_GT(ok, 0u);
    EXPECT_GT(busy, 0u);
    batches.clear();
    EXPECT_EQ(client->login().first.size(), 64u);
    client.reset();
    ASSERT_EQ(server->stop(SIGTERM), 0);
    EXPECT_NE(server->log().find(" info authentications GET 503 "), std::string::npos);
}

// Wrong passwords for one name sent at once on two connections: the worker
// takes them one after another, so the slowdown counts each and lets no
// more than the free ones reach the password check.
TEST_F(SampleService, CountsFailedLoginsSentAtOnce) {
    constexpr std::size_t perConnection = 4;
    Client first(server->port), second(server->port);
    LoginBatch onFirst(first.handle, perConnection, userName, "wrong"),
        onSecond(second.handle, perConnection, userName, "wrong");
    ASSERT_TRUE(onFirst.waitAll() && onSecond.waitAll());
    std::size_t checked = 0, slowed = 0;
    for (const LoginBatch *batch : {&onFirst, &onSecond})
        for (const AuthenticationResData &answer : batch->answers) {
            EXPECT_EQ(answer.error.errorCode, 401);
            checked += answer.error.errorMesg == "wrong user name or password";
            slowed += answer.error.errorMesg.rfind("too many failed logins", 0) == 0;
        }
    EXPECT_EQ(checked, static_cast<std::size_t>(LoginThrottle::freeFailures));
    EXPECT_EQ(slowed, 2 * perConnection - checked);
}

// Logins queued for the worker when SIGTERM comes: every one is answered
// before the service exits, with status 0.
TEST_F(SampleService, StopsOnSigtermAfterAnsweringTheLoginsItHolds) {
    constexpr std::size_t logins = 4;
    Client own(server->port);
    LoginBatch batch(own.handle, logins);
    // Answered on the I/O thread once every login before it was read.
    auto behind = asked<AuthenticationSessionkeyReqData>();
    behind.session_key = keys.first;
    EXPECT_EQ(own.call<RecvResponseCallbackauthentications_sessionkey>(behind).error.errorCode, 200);
    EXPECT_LT(batch.done(), logins);
    server->signal(SIGTERM);
    ASSERT_TRUE(batch.waitAll());
    EXPECT_GT(batch.withCode(200), 0u);
    EXPECT_EQ(batch.withCode(200) + batch.withCode(503), logins);
    EXPECT_EQ(server->wait(), 0);
}

// Requests sent without waiting, then SIGTERM: every request the service
// received is answered in full; the ones it had not read yet see the
// connection close. None is left to time out, and the exit status is 0.
TEST_F(SampleService, StopsOnSigtermAfterAnsweringTheRequestsInFlight) {
    constexpr int inFlight = 200;
    void *callback = create_callback_functor(const_cast<char *>("devices_id_records"));
    auto records = asked<DeviceIdRecordReqData>();
    records.id = sampleCamera().id;
    std::tie(records.start, records.end) = firstDay();
    std::vector<DeviceIdRecordResData> answers(inFlight);
    for (DeviceIdRecordResData &answer : answers)
        ASSERT_EQ(send_service_request(client->handle, const_cast<char *>("devices_id_records"),
                                       &records, callback, &answer), 1);
    // Once the first answer is back the service is reading the others: stop
    // it then, with the rest in flight.
    ASSERT_TRUE(Client::waitForCompletion(answers.front().error));
    server->signal(SIGTERM);
    const std::size_t rows = expectedRecordings(*parseUtcTime(records.start),
                                                *parseUtcTime(records.end), records.id);
    int completed = 0, answered = 0;
    for (const DeviceIdRecordResData &answer : answers) {
        completed += Client::waitForCompletion(answer.error);
        if (answer.error.errorCode == 200) {
            ++answered;
            EXPECT_EQ(answer.record_data.size(), rows);
        } else {
            EXPECT_EQ(answer.error.errorCode, VELORN_IPC_ECONNLOST);
        }
    }
    EXPECT_EQ(completed, inFlight);
    EXPECT_GT(answered, 0);
    EXPECT_EQ(server->wait(), 0);
    client.reset();
    destroy_callback_functor(const_cast<char *>("devices_id_records"), callback);
}

// The command line: each mistake is one line on standard error and a
// nonzero status, and a refused import leaves the database as it was.
TEST(CommandLine, ReportsEachMistakeInOneLineAndLeavesTheDatabaseAlone) {
    TemporaryFolder folder;
    const std::string db = (folder / "site.db").string(), bad = (folder / "bad.json").string();
    makeSampleDatabase(db);
    const std::string notJson = (folder / "not.json").string();
    std::ofstream(notJson) << "{ \"devices\": [ ";
    {
        std::ifstream in(DS_SAMPLE_INSTALLATION);
        std::string text(std::istreambuf_iterator<char>(in), {});
        const std::string port = "\"service_port\": 8554";
        text.replace(text.find(port), port.size(), "\"service_port\": \"eighty\"");
        std::ofstream(bad) << text;
    }
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> rows = {
        {{}, 2, "dataservice-server: a command is needed: init, users or serve (see dataservice-server --help)"},
        {{"start"}, 2, "dataservice-server: unknown command \"start\" (see dataservice-server --help)"},
        {{"serve"}, 2, "dataservice-server: --db is required (see dataservice-server --help)"},
        {{"serve", "--db", db, "--port", "9"}, 2, "dataservice-server: unknown option --port (see dataservice-server --help)"},
        {{"serve", "--db", db, "--listen", "localhost"}, 2,
         "dataservice-server: --listen must be HOST:PORT, not \"localhost\" (see dataservice-server --help)"},
        {{"serve", "--db", (folder / "missing.db").string()}, 1,
         "dataservice-server: no database at " + (folder / "missing.db").string() +
             " (create it with 'dataservice-server init')"},
        {{"serve", "--db", db, "--listen", "203.0.113.1:0"}, 1, "dataservice-server: cannot listen on 203.0.113.1:0"},
        {{"init", "--db", db, "--from", DS_SAMPLE_INSTALLATION}, 1,
         "dataservice-server: " + db + " already holds an installation; give --replace to replace it"},
        {{"init", "--db", db, "--from", (folder / "none.json").string(), "--replace"}, 1, "none.json"},
        {{"init", "--db", db, "--from", notJson, "--replace"}, 1, "not.json"},
        {{"init", "--db", db, "--from", bad, "--replace"}, 1, "bad.json: /services/0/service_port"},
        {{"users", "add", "--db", db}, 2, "dataservice-server: expected 'users add NAME --db PATH' (see dataservice-server --help)"},
    };
    for (const auto &[arguments, status, message] : rows) {
        std::string shown;
        for (const std::string &argument : arguments)
            shown += argument + " ";
        SCOPED_TRACE(shown);
        const ProgramResult result = runServer(arguments);
        EXPECT_EQ(result.exitStatus, status);
        EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
        EXPECT_NE(result.errors.find(message), std::string::npos) << result.errors;
    }
    const ProgramResult empty = runServer({"users", "add", "x", "--db", db}, "\n");
    EXPECT_EQ(empty.errors, "dataservice-server: the password is empty\n");
    // The refused imports changed nothing: the sample is still served.
    ServingProcess server(db);
    Client client(server.port);
    auto devices = request<DeviceReqData>(client.login().first);
    EXPECT_EQ(client.call<RecvResponseCallbackdevices>(devices).device_data.size(), sample().devices.size());
}

TEST(CommandLine, AnswersHelpForEveryCommand) {
    for (std::vector<std::string> arguments :
         {std::vector<std::string>{"--help"}, {"init", "--help"}, {"users", "--help"}, {"serve", "--help"}}) {
        const ProgramResult result = runServer(arguments);
        EXPECT_EQ(result.exitStatus, 0);
        EXPECT_EQ(result.output.rfind("usage: dataservice-server ", 0), 0u) << result.output;
    }
}

} // namespace
} // namespace DataServiceNamespace::testing
