#include "InstallationFile.h"

#include <arpa/inet.h>

#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "RecordInfo.h"
#include "UtcTime.h"

namespace DataServiceNamespace::server {
namespace {

using nlohmann::json;

constexpr int formatVersion = 1;

std::string inQuotes(const std::string &text) { return '"' + text + '"'; }

std::string child(const std::string &pointer, const std::string &key) {
    std::string escaped;
    for (char c : key)
        escaped += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
    return pointer + "/" + escaped;
}

std::string child(const std::string &pointer, std::size_t index) {
    return pointer + "/" + std::to_string(index);
}

class DocumentReader {
public:
    DocumentReader(std::string name, std::string baseFolder)
        : name_(std::move(name)), baseFolder_(std::move(baseFolder)) {}

    Installation read(const std::string &source);

private:
    [[noreturn]] void fail(const std::string &pointer, const std::string &problem) const {
        throw InstallationError(name_ + ": " + (pointer.empty() ? "/" : pointer) + ": " + problem);
    }

    const json &member(const json &object, const std::string &pointer, const char *key) const {
        const auto found = object.find(key);
        if (found == object.end())
            fail(pointer, std::string("missing member \"") + key + "\"");
        return *found;
    }

    void expectObject(const json &value, const std::string &pointer,
                      const std::set<std::string> &allowed) const {
        if (!value.is_object())
            fail(pointer, "expected an object");
        for (const auto &item : value.items())
            if (!allowed.count(item.key()))
                fail(child(pointer, item.key()), "unknown member");
    }

    const json &array(const json &value, const std::string &pointer) const {
        if (!value.is_array())
            fail(pointer, "expected an array");
        return value;
    }

    std::string text(const json &value, const std::string &pointer) const {
        if (!value.is_string())
            fail(pointer, "expected a text");
        return value.get<std::string>();
    }

    int64_t integer(const json &value, const std::string &pointer, int64_t low,
                    int64_t high) const {
        if (!value.is_number_integer())
            fail(pointer, "expected an integer");
        const auto number =
            value.is_number_unsigned() && value.get<uint64_t>() > INT64_MAX ? INT64_MAX
                                                                            : value.get<int64_t>();
        if (number < low || number > high)
            fail(pointer, "expected an integer from " + std::to_string(low) + " to " +
                              std::to_string(high));
        return number;
    }

    UnixSeconds time(const json &value, const std::string &pointer) const {
        const auto parsed = parseUtcTime(text(value, pointer));
        if (!parsed)
            fail(pointer, "expected a UTC time such as \"2026-11-05T13:00:00Z\"");
        return *parsed;
    }

    // Every text, int32, nested and list field of Record from the member of
    // the same name; all of them must be present. Members named in
    // `elsewhere` are allowed and left to the caller.
    template <class Record>
    void record(const json &value, const std::string &pointer, Record &result,
                const std::set<std::string> &elsewhere = {}) const {
        std::set<std::string> allowed = elsewhere;
        RecordInfo<Record>::visit([&](auto, const char *name, auto &...) { allowed.insert(name); },
                                  result);
        expectObject(value, pointer, allowed);
        RecordInfo<Record>::visit(
            [&](auto kind, const char *name, auto &...field) {
                using Kind = decltype(kind);
                if (elsewhere.count(name))
                    return;
                const std::string at = child(pointer, name);
                if constexpr (std::is_same_v<Kind, TextField>) {
                    ((field = text(member(value, pointer, name), at)), ...);
                } else if constexpr (std::is_same_v<Kind, Int32Field>) {
                    ((field = static_cast<int32>(
                          integer(member(value, pointer, name), at, INT32_MIN, INT32_MAX))),
                     ...);
                } else if constexpr (isNestedKind<Kind>) {
                    (record(member(value, pointer, name), at, field), ...);
                } else if constexpr (std::is_same_v<Kind, RecordListField>) {
                    const json &items = array(member(value, pointer, name), at);
                    (field.resize(items.size()), ...);
                    for (std::size_t i = 0; i < items.size(); ++i)
                        (record(items[i], child(at, i), field[i]), ...);
                } else if constexpr (std::is_same_v<Kind, TextListField>) {
                    const json &items = array(member(value, pointer, name), at);
                    for (std::size_t i = 0; i < items.size(); ++i)
                        (field.push_back(text(items[i], child(at, i))), ...);
                }
            },
            result);
    }

    // Reads the array member `key` of the document as records, checking that
    // their ids are present and unique; answers them and where each one is.
    template <class Record>
    std::vector<Record> collection(const json &document, const char *key,
                                   std::map<std::string, std::string> &places) const {
        std::vector<Record> records;
        const auto found = document.find(key);
        if (found == document.end())
            return records;
        const std::string pointer = child("", key);
        array(*found, pointer);
        for (std::size_t i = 0; i < found->size(); ++i) {
            records.emplace_back();
            record((*found)[i], child(pointer, i), records.back());
            identify(records.back().id, child(pointer, i), places);
        }
        return records;
    }

    void identify(const std::string &id, const std::string &pointer,
                  std::map<std::string, std::string> &places) const {
        if (id.empty())
            fail(child(pointer, "id"), "empty id");
        const auto [place, added] = places.emplace(id, pointer);
        if (!added)
            fail(child(pointer, "id"),
                 "duplicate id " + inQuotes(id) + ", first at " + place->second);
    }

    void port(int64_t value, const std::string &pointer) const {
        if (value < 1 || value > 65535)
            fail(pointer, "expected a port from 1 to 65535");
    }

    void flag(int64_t value, const std::string &pointer) const {
        if (value != 0 && value != 1)
            fail(pointer, "expected 0 or 1");
    }

    void references(const std::map<std::string, std::string> &places, const std::string &id,
                    const std::string &pointer, const char *what) const {
        if (!places.count(id))
            fail(pointer, inQuotes(id) + " is not " + what);
    }

    void device(const json &value, const std::string &pointer, Installation &installation);
    void schedule(const json &value, const std::string &pointer, const std::string &deviceId,
                  Installation &installation);
    DeviceImage snapshot(const json &value, const std::string &pointer) const;

    std::string name_;
    std::string baseFolder_;
    std::map<std::string, std::string> services_, devices_, components_;
    std::map<std::string, std::set<std::string>> profilesOfDevice_;
    std::vector<std::function<void()>> deferredChecks_;
};

Installation DocumentReader::read(const std::string &source) {
    json document;
    try {
        document = json::parse(source);
    } catch (const json::parse_error &error) {
        // nlohmann's message starts with its own code in brackets; keep the rest.
        std::string message = error.what();
        const auto end = message.find("] ");
        fail("", "not JSON: " + (end == std::string::npos ? message : message.substr(end + 2)));
    }
    expectObject(document, "",
                 {"format_version", "services", "smtp_settings", "ftp_sites", "contacts",
                  "devices", "recordings", "trackers", "rtsp_setting"});
    if (integer(member(document, "", "format_version"), "/format_version", 0, INT32_MAX) !=
        formatVersion)
        fail("/format_version", "this program reads format version " +
                                    std::to_string(formatVersion));

    Installation installation;
    installation.services = collection<ServiceData>(document, "services", services_);
    for (std::size_t i = 0; i < installation.services.size(); ++i)
        port(installation.services[i].service_port, child(child("/services", i), "service_port"));

    std::map<std::string, std::string> smtpPlaces, ftpPlaces, contactPlaces, trackerPlaces;
    installation.smtpSettings = collection<SmtpSettingData>(document, "smtp_settings", smtpPlaces);
    for (std::size_t i = 0; i < installation.smtpSettings.size(); ++i) {
        const auto &setting = installation.smtpSettings[i];
        const std::string at = child("/smtp_settings", i);
        port(setting.port, child(at, "port"));
        flag(setting.need_auth, child(at, "need_auth"));
        flag(setting.need_ssl, child(at, "need_ssl"));
    }
    installation.ftpSites = collection<FtpSiteData>(document, "ftp_sites", ftpPlaces);
    for (std::size_t i = 0; i < installation.ftpSites.size(); ++i) {
        port(installation.ftpSites[i].port, child(child("/ftp_sites", i), "port"));
        flag(installation.ftpSites[i].passive_mode, child(child("/ftp_sites", i), "passive_mode"));
    }
    installation.contacts = collection<ContactData>(document, "contacts", contactPlaces);
    for (std::size_t i = 0; i < installation.contacts.size(); ++i) {
        const std::string &email = installation.contacts[i].email;
        const auto at = email.find('@');
        if (at == std::string::npos || at == 0 || at + 1 == email.size() ||
            email.find('@', at + 1) != std::string::npos)
            fail(child(child("/contacts", i), "email"), "expected an e-mail address");
    }

    if (const auto found = document.find("devices"); found != document.end()) {
        array(*found, "/devices");
        for (std::size_t i = 0; i < found->size(); ++i)
            device((*found)[i], child("/devices", i), installation);
    }
    // Schedules name services and profiles; checked once all are known.
    for (const auto &check : deferredChecks_)
        check();

    if (const auto found = document.find("recordings"); found != document.end()) {
        array(*found, "/recordings");
        std::map<std::string, std::string> places;
        for (std::size_t i = 0; i < found->size(); ++i) {
            const std::string at = child("/recordings", i);
            RecordData recording;
            record((*found)[i], at, recording);
            identify(recording.id, at, places);
            const UnixSeconds start = time((*found)[i]["start"], child(at, "start"));
            if (time((*found)[i]["end"], child(at, "end")) < start)
                fail(child(at, "end"), "end before start");
            references(devices_, recording.device_id, child(at, "device_id"), "a device");
            if (!profilesOfDevice_[recording.device_id].count(recording.stream_profile_id))
                fail(child(at, "stream_profile_id"),
                     inQuotes(recording.stream_profile_id) + " is not a stream profile of device " +
                         inQuotes(recording.device_id));
            if (!recording.service_id.empty())
                references(services_, recording.service_id, child(at, "service_id"), "a service");
            installation.recordings.push_back(std::move(recording));
        }
    }

    installation.trackers = collection<TrackerData>(document, "trackers", trackerPlaces);
    for (std::size_t i = 0; i < installation.trackers.size(); ++i) {
        const auto &associated = installation.trackers[i].associated_device;
        const std::string at = child(child("/trackers", i), "associated_device");
        if (!associated.device_id.empty())
            references(devices_, associated.device_id, child(at, "device_id"), "a device");
        if (!associated.server_id.empty())
            references(services_, associated.server_id, child(at, "server_id"), "a service");
    }

    if (const auto found = document.find("rtsp_setting"); found != document.end()) {
        expectObject(*found, "/rtsp_setting", {"ips", "port"});
        installation.rtspSetting.port = static_cast<int32>(
            integer(member(*found, "/rtsp_setting", "port"), "/rtsp_setting/port", 1, 65535));
        const json &ips = array(member(*found, "/rtsp_setting", "ips"), "/rtsp_setting/ips");
        for (std::size_t i = 0; i < ips.size(); ++i) {
            const std::string at = child("/rtsp_setting/ips", i);
            std::string ip = text(ips[i], at);
            unsigned char address[16];
            if (inet_pton(AF_INET, ip.c_str(), address) != 1 &&
                inet_pton(AF_INET6, ip.c_str(), address) != 1)
                fail(at, "expected an IP address");
            installation.rtspSetting.ips.push_back(std::move(ip));
        }
    }
    return installation;
}

void DocumentReader::device(const json &value, const std::string &pointer,
                            Installation &installation) {
    DeviceData device;
    record(value, pointer, device,
           {"components", "stream_profiles", "snapshot", "recording_schedule"});
    identify(device.id, pointer, devices_);

    auto &profiles = profilesOfDevice_[device.id];
    const std::string profilesAt = child(pointer, "stream_profiles");
    const json &profileItems = array(member(value, pointer, "stream_profiles"), profilesAt);
    std::map<std::string, std::string> profilePlaces;
    for (std::size_t i = 0; i < profileItems.size(); ++i) {
        const std::string at = child(profilesAt, i);
        Installation::StreamProfile profile{device.id, {}};
        record(profileItems[i], at, profile.data);
        identify(profile.data.id, at, profilePlaces);
        if (profile.data.rtsp_url.rfind("rtsp://", 0) != 0)
            fail(child(at, "rtsp_url"), "expected an rtsp:// URL");
        profiles.insert(profile.data.id);
        installation.streamProfiles.push_back(std::move(profile));
    }

    const std::string componentsAt = child(pointer, "components");
    const json &componentItems = array(member(value, pointer, "components"), componentsAt);
    for (std::size_t i = 0; i < componentItems.size(); ++i) {
        const std::string at = child(componentsAt, i);
        Installation::Component component{device.id, {}};
        record(componentItems[i], at, component.data);
        identify(component.data.id, at, components_);
        const auto &named = component.data.stream_profiles;
        for (std::size_t p = 0; p < named.size(); ++p)
            if (!profiles.count(named[p]))
                fail(child(child(at, "stream_profiles"), p),
                     inQuotes(named[p]) + " is not a stream profile of device " +
                         inQuotes(device.id));
        device.components.push_back(component.data.id);
        installation.components.push_back(std::move(component));
    }

    if (const auto found = value.find("snapshot"); found != value.end())
        installation.images.push_back({device.id, snapshot(*found, child(pointer, "snapshot"))});
    if (const auto found = value.find("recording_schedule"); found != value.end())
        schedule(*found, child(pointer, "recording_schedule"), device.id, installation);
    installation.devices.push_back(std::move(device));
}

void DocumentReader::schedule(const json &value, const std::string &pointer,
                              const std::string &deviceId, Installation &installation) {
    expectObject(value, pointer,
                 {"from", "until", "segment_seconds", "stream_profile_id", "service_id",
                  "playback_url"});
    Installation::RecordingSchedule schedule;
    schedule.deviceId = deviceId;
    schedule.first = time(member(value, pointer, "from"), child(pointer, "from"));
    const UnixSeconds until = time(member(value, pointer, "until"), child(pointer, "until"));
    schedule.segmentSeconds = integer(member(value, pointer, "segment_seconds"),
                                      child(pointer, "segment_seconds"), 1, 86400);
    if (until <= schedule.first)
        fail(child(pointer, "until"), "until is not after from");
    if ((until - schedule.first) % schedule.segmentSeconds != 0)
        fail(child(pointer, "until"), "until is not a whole number of segments after from");
    schedule.count = (until - schedule.first) / schedule.segmentSeconds;
    schedule.streamProfileId = text(member(value, pointer, "stream_profile_id"),
                                    child(pointer, "stream_profile_id"));
    schedule.serviceId =
        text(member(value, pointer, "service_id"), child(pointer, "service_id"));
    schedule.playbackUrl =
        text(member(value, pointer, "playback_url"), child(pointer, "playback_url"));
    if (schedule.playbackUrl.rfind("rtsp://", 0) != 0)
        fail(child(pointer, "playback_url"), "expected an rtsp:// URL");
    if (!profilesOfDevice_[deviceId].count(schedule.streamProfileId))
        fail(child(pointer, "stream_profile_id"),
             inQuotes(schedule.streamProfileId) + " is not a stream profile of device " +
                 inQuotes(deviceId));
    deferredChecks_.push_back([this, pointer, serviceId = schedule.serviceId] {
        references(services_, serviceId, child(pointer, "service_id"), "a service");
    });
    installation.recordingSchedules.push_back(std::move(schedule));
}

DeviceImage DocumentReader::snapshot(const json &value, const std::string &pointer) const {
    const std::string relative = text(value, pointer);
    if (relative.empty() || relative.front() == '/')
        fail(pointer, "expected a path relative to the installation file");
    std::ifstream file(baseFolder_ + "/" + relative, std::ios::binary);
    if (!file)
        fail(pointer, "cannot read " + inQuotes(relative));
    DeviceImage image;
    image.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    static const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    static const unsigned char jpeg[] = {0xff, 0xd8, 0xff};
    auto startsWith = [&image](const unsigned char *magic, std::size_t size) {
        return image.bytes.size() >= size && std::equal(magic, magic + size, image.bytes.begin());
    };
    if (startsWith(png, sizeof png))
        image.mediaType = "image/png";
    else if (startsWith(jpeg, sizeof jpeg))
        image.mediaType = "image/jpeg";
    else
        fail(pointer, inQuotes(relative) + " is neither a PNG nor a JPEG image");
    return image;
}

} // namespace

Installation readInstallation(const std::string &text, const std::string &name,
                              const std::string &baseFolder) {
    return DocumentReader(name, baseFolder).read(text);
}

Installation readInstallationFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw InstallationError(path + ": cannot be read");
    std::ostringstream text;
    text << file.rdbuf();
    const auto slash = path.rfind('/');
    return readInstallation(text.str(), path,
                            slash == std::string::npos ? "." : path.substr(0, slash));
}

} // namespace DataServiceNamespace::server
