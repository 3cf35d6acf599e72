// The installation file reader: a table of broken documents, each with the
// exact message it must give (file, JSON pointer, problem), and the store
// that was to receive it left as it was.
#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "InstallationFile.h"
#include "SqliteStore.h"
#include "StoreTestSupport.h"

namespace DataServiceNamespace::server {
namespace {

using nlohmann::json;
using testing::TemporaryFolder;

// A small but complete site: every collection, a snapshot, a schedule and
// an explicit recording.
json smallSite() {
    return json::parse(R"({
  "format_version": 1,
  "services": [{"id": "nvr-1", "type": "recording", "service_port": 8554, "service_switch": "on",
                "links": [{"ref": "self", "url": "http://10.0.0.5/api"}]}],
  "smtp_settings": [{"id": "smtp-1", "host": "mail.example", "port": 587, "username": "u",
                     "password": "p", "sender": "s@example", "need_auth": 1, "need_ssl": 1}],
  "ftp_sites": [{"id": "ftp-1", "host": "10.0.0.40", "port": 21, "username": "u",
                 "password": "p", "dst_path": "/in", "passive_mode": 1}],
  "contacts": [{"id": "contact-1", "name": "Ada", "email": "ada@example", "description": ""}],
  "devices": [
    {"id": "cam-1", "name": "Gate", "type": "bullet",
     "components": [{"id": "cam-1-video", "name": "Sensor", "type": "video",
                     "stream_profiles": ["main"]}],
     "stream_profiles": [{"id": "main", "rtsp_url": "rtsp://10.0.0.11/main", "bitrates": "4096",
                          "quality": "high", "fps": "25", "resolution": "1920x1080",
                          "format": "H.264"}],
     "snapshot": "cam-1.png",
     "recording_schedule": {"from": "2026-01-01T00:00:00Z", "until": "2026-01-02T00:00:00Z",
                            "segment_seconds": 3600, "stream_profile_id": "main",
                            "service_id": "nvr-1", "playback_url": "rtsp://10.0.0.5/cam-1"}},
    {"id": "cam-2", "name": "Yard", "type": "dome",
     "components": [{"id": "cam-2-video", "name": "Sensor", "type": "video",
                     "stream_profiles": ["main", "sub"]}],
     "stream_profiles": [
       {"id": "main", "rtsp_url": "rtsp://10.0.0.12/main", "bitrates": "6144", "quality": "high",
        "fps": "30", "resolution": "2560x1440", "format": "H.265"},
       {"id": "sub", "rtsp_url": "rtsp://10.0.0.12/sub", "bitrates": "512", "quality": "low",
        "fps": "15", "resolution": "640x360", "format": "H.264"}]}
  ],
  "recordings": [{"id": "manual-1", "start": "2026-01-03T10:00:00Z", "end": "2026-01-03T10:05:00Z",
                  "stream_details": {"resolution": "640x360", "format": "H.264"},
                  "stream_profile_id": "sub", "rtsp_url": "rtsp://10.0.0.5/manual-1",
                  "service_id": "nvr-1", "device_id": "cam-2"}],
  "trackers": [{"type": "motion", "id": "trk-1", "name": "Yard motion",
                "associated_device": {"server_id": "nvr-1", "device_id": "cam-2"}}],
  "rtsp_setting": {"ips": ["10.0.0.5", "fd00::5"], "port": 554}
})");
}

class InstallationFile : public ::testing::Test {
protected:
    InstallationFile() {
        std::ofstream(folder.file("cam-1.png"), std::ios::binary) << "\x89PNG\r\n\x1a\n rest";
    }
    Installation read(const std::string &text) {
        return readInstallation(text, "site.json", folder.file(""));
    }
    TemporaryFolder folder;
};

TEST_F(InstallationFile, ReadsEveryPartOfASite) {
    const Installation site = read(smallSite().dump());
    EXPECT_EQ(site.services.at(0).links.at(0).url, "http://10.0.0.5/api");
    EXPECT_EQ(site.devices.at(1).components, std::vector<cfstring>{"cam-2-video"});
    EXPECT_EQ(site.components.at(1).deviceId, "cam-2");
    EXPECT_EQ(site.components.at(1).data.stream_profiles, (std::vector<cfstring>{"main", "sub"}));
    EXPECT_EQ(site.streamProfiles.size(), 3u);
    EXPECT_EQ(site.images.at(0).image.mediaType, "image/png");
    ASSERT_EQ(site.recordingSchedules.size(), 1u);
    EXPECT_EQ(site.recordingSchedules[0].count, 24);
    EXPECT_EQ(site.recordings.at(0).stream_details.resolution, "640x360");
    EXPECT_EQ(site.trackers.at(0).associated_device.device_id, "cam-2");
    EXPECT_EQ(site.rtspSetting.ips.at(1), "fd00::5");
}

struct Breakage {
    const char *name;
    const char *pointer; // where the change goes; the whole document when empty
    json value;          // the new value there; null removes the member
    const char *message; // after "site.json: "
};

class BrokenInstallationFile : public InstallationFile,
                               public ::testing::WithParamInterface<Breakage> {};

TEST_P(BrokenInstallationFile, IsRefusedWithItsPlaceAndLeavesTheStoreAlone) {
    const Breakage &row = GetParam();
    std::string text;
    if (!*row.pointer) {
        text = row.value.get<std::string>();
    } else {
        json document = smallSite();
        const json::json_pointer pointer(row.pointer);
        if (row.value.is_null())
            document.at(pointer.parent_pointer()).erase(pointer.back());
        else
            document[pointer] = row.value;
        text = document.dump();
    }
    SqliteStore store(folder.file("store.db"));
    store.replaceInstallation(read(smallSite().dump()));
    try {
        store.replaceInstallation(read(text));
        FAIL() << "accepted";
    } catch (const InstallationError &error) {
        EXPECT_EQ(std::string(error.what()), std::string("site.json: ") + row.message);
    }
    EXPECT_EQ(store.devices().size(), 2u);
    EXPECT_EQ(store.recordings(0, INT64_MAX / 2, std::nullopt, 100).size(), 25u);
    EXPECT_EQ(store.contact("contact-1")->name, "Ada");
}

INSTANTIATE_TEST_SUITE_P(
    Documents, BrokenInstallationFile,
    ::testing::Values(
        Breakage{"NotJson", "", "{\"format_version\": 1,",
                 "/: not JSON: parse error at line 1, column 22: syntax error while parsing "
                 "object key - unexpected end of input; expected string literal"},
        Breakage{"NotAnObject", "", "[]", "/: expected an object"},
        Breakage{"NoFormatVersion", "/format_version", nullptr,
                 "/: missing member \"format_version\""},
        Breakage{"LaterFormat", "/format_version", 2,
                 "/format_version: this program reads format version 1"},
        Breakage{"MisspeltCollection", "/device", json::array(), "/device: unknown member"},
        Breakage{"MisspeltField", "/devices/1/components/0/streamprofiles", json::array(),
                 "/devices/1/components/0/streamprofiles: unknown member"},
        Breakage{"MissingField", "/ftp_sites/0/dst_path", nullptr,
                 "/ftp_sites/0: missing member \"dst_path\""},
        Breakage{"MissingFieldOfAListElement", "/services/0/links/0/url", nullptr,
                 "/services/0/links/0: missing member \"url\""},
        Breakage{"NumberForText", "/devices/0/name", 5, "/devices/0/name: expected a text"},
        Breakage{"TextForNumber", "/smtp_settings/0/port", "25",
                 "/smtp_settings/0/port: expected an integer"},
        Breakage{"UnknownMemberOfANestedRecord", "/trackers/0/associated_device", json{{"x", 1}},
                 "/trackers/0/associated_device/x: unknown member"},
        Breakage{"PortOutOfRange", "/services/0/service_port", 70000,
                 "/services/0/service_port: expected a port from 1 to 65535"},
        Breakage{"FlagNotZeroOrOne", "/smtp_settings/0/need_ssl", 2,
                 "/smtp_settings/0/need_ssl: expected 0 or 1"},
        Breakage{"Int32Overflow", "/ftp_sites/0/passive_mode", 4294967296LL,
                 "/ftp_sites/0/passive_mode: expected an integer from -2147483648 to 2147483647"},
        Breakage{"EmptyId", "/devices/0/id", "", "/devices/0/id: empty id"},
        Breakage{"DuplicateDevice", "/devices/1/id", "cam-1",
                 "/devices/1/id: duplicate id \"cam-1\", first at /devices/0"},
        Breakage{"ComponentIdOfAnotherDevice", "/devices/1/components/0/id", "cam-1-video",
                 "/devices/1/components/0/id: duplicate id \"cam-1-video\", first at "
                 "/devices/0/components/0"},
        Breakage{"UnknownStreamProfile", "/devices/1/components/0/stream_profiles/1", "hd",
                 "/devices/1/components/0/stream_profiles/1: \"hd\" is not a stream profile of "
                 "device \"cam-2\""},
        Breakage{"NotAnRtspUrl", "/devices/0/stream_profiles/0/rtsp_url", "http://10.0.0.11/",
                 "/devices/0/stream_profiles/0/rtsp_url: expected an rtsp:// URL"},
        Breakage{"BadEmail", "/contacts/0/email", "ada@",
                 "/contacts/0/email: expected an e-mail address"},
        Breakage{"MissingSnapshot", "/devices/0/snapshot", "cam-9.png",
                 "/devices/0/snapshot: cannot read \"cam-9.png\""},
        Breakage{"AbsoluteSnapshot", "/devices/0/snapshot", "/etc/passwd",
                 "/devices/0/snapshot: expected a path relative to the installation file"},
        Breakage{"SnapshotNotAnImage", "/devices/0/snapshot", "store.db",
                 "/devices/0/snapshot: \"store.db\" is neither a PNG nor a JPEG image"},
        Breakage{"MalformedTime", "/devices/0/recording_schedule/from", "2026-01-01 00:00:00",
                 "/devices/0/recording_schedule/from: expected a UTC time such as "
                 "\"2026-11-05T13:00:00Z\""},
        Breakage{"ScheduleBackwards", "/devices/0/recording_schedule/until",
                 "2025-12-31T00:00:00Z",
                 "/devices/0/recording_schedule/until: until is not after from"},
        Breakage{"ScheduleNotWholeSegments", "/devices/0/recording_schedule/segment_seconds", 7,
                 "/devices/0/recording_schedule/until: until is not a whole number of segments "
                 "after from"},
        Breakage{"ScheduleOfAnUnknownService", "/devices/0/recording_schedule/service_id",
                 "nvr-9", "/devices/0/recording_schedule/service_id: \"nvr-9\" is not a service"},
        Breakage{"ScheduleOfAnotherDevicesProfile",
                 "/devices/0/recording_schedule/stream_profile_id", "sub",
                 "/devices/0/recording_schedule/stream_profile_id: \"sub\" is not a stream "
                 "profile of device \"cam-1\""},
        Breakage{"RecordingEndsBeforeItStarts", "/recordings/0/end", "2026-01-03T09:59:59Z",
                 "/recordings/0/end: end before start"},
        Breakage{"RecordingOfAnUnknownDevice", "/recordings/0/device_id", "cam-3",
                 "/recordings/0/device_id: \"cam-3\" is not a device"},
        Breakage{"TrackerOfAnUnknownDevice", "/trackers/0/associated_device/device_id", "cam-3",
                 "/trackers/0/associated_device/device_id: \"cam-3\" is not a device"},
        Breakage{"NotAnIpAddress", "/rtsp_setting/ips/0", "10.0.0.300",
                 "/rtsp_setting/ips/0: expected an IP address"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(InstallationFileOnDisk, NamesAFileItCannotRead) {
    try {
        readInstallationFile("/nonexistent/site.json");
        FAIL() << "read";
    } catch (const InstallationError &error) {
        EXPECT_STREQ(error.what(), "/nonexistent/site.json: cannot be read");
    }
}

} // namespace
} // namespace DataServiceNamespace::server
