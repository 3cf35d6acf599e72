// The reference data service's store: everything the request handlers read
// and write, behind one interface so that a second backend can be added
// without touching them. The SQLite backend is the default (SqliteStore.h).
//
// Threads: every operation may be called from any thread, concurrently with
// any other; an implementation serialises writes itself. Reads never wait for
// a write transaction (an import included) or for each other.
//
// Failures: an operation that cannot reach its data (I/O error, corrupt
// database) throws StoreError; "not found" is a result, never an exception.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "DataServiceTypes.h"

namespace DataServiceNamespace::server {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Seconds since the Unix epoch, UTC.
using UnixSeconds = int64_t;

// The installation's RTSP setting ("rtsp_setting").
struct RtspSetting {
    std::vector<cfstring> ips;
    int32 port = 0;
};

// A device's snapshot image ("devices_id_image").
struct DeviceImage {
    std::vector<unsigned char> bytes;
    std::string mediaType; // "image/png" or "image/jpeg"
};

// A user as stored: the password only as an argon2id hash string
// (crypto_pwhash_str), never in clear.
struct UserRecord {
    std::string name;
    std::string passwordHash;
};

// A session made by "authentications".
struct SessionRecord {
    std::string sessionKey;  // lowercase hex, >= 128 random bits
    std::string secretKey;   // lowercase hex, >= 128 random bits; the HMAC key text
    std::string userName;
    UnixSeconds lastUsed = 0; // refreshed by touchSession
};

// One installation as read from an installation file, before it is written.
struct Installation {
    std::vector<ServiceData> services;
    std::vector<SmtpSettingData> smtpSettings;
    std::vector<FtpSiteData> ftpSites;
    std::vector<ContactData> contacts;
    std::vector<DeviceData> devices;         // components: ids of ComponentData
    struct Component {
        std::string deviceId;
        ComponentData data;                  // stream_profiles: ids of the device's profiles
    };
    std::vector<Component> components;
    struct StreamProfile {
        std::string deviceId;
        StreamprofileData data;              // id unique per device
    };
    std::vector<StreamProfile> streamProfiles;
    std::vector<RecordData> recordings;      // start/end ISO-8601 UTC
    // Regular one-segment-after-another recordings of one device, expanded by
    // the store while it writes them, so that a year of a hundred cameras
    // never has to be held in memory as records. Segment i covers
    // [first + i * segmentSeconds, first + (i + 1) * segmentSeconds - 1]; its id
    // is "<deviceId>/<start as YYYYMMDDTHHMMSSZ>", its rtsp_url is
    // playbackUrl + "?start=<start>&end=<end>" in the same compact form, and
    // its stream_details are the stream profile's resolution and format.
    struct RecordingSchedule {
        std::string deviceId;
        std::string streamProfileId;
        std::string serviceId;
        std::string playbackUrl;
        UnixSeconds first = 0;
        int64_t count = 0;
        int64_t segmentSeconds = 3600;
    };
    std::vector<RecordingSchedule> recordingSchedules;
    std::vector<TrackerData> trackers;
    RtspSetting rtspSetting;
    struct Image {
        std::string deviceId;
        DeviceImage image;
    };
    std::vector<Image> images;
};

class Store {
public:
    virtual ~Store() = default;

    // Installation data, read side. Lists come in a stable order (by id, and
    // recordings by start then id). The optional results are empty for an
    // unknown id.
    virtual std::vector<ServiceData> services() = 0;
    virtual std::optional<ServiceData> service(const std::string &id) = 0;
    virtual std::vector<SmtpSettingData> smtpSettings() = 0;
    virtual std::optional<SmtpSettingData> smtpSetting(const std::string &id) = 0;
    virtual std::vector<FtpSiteData> ftpSites() = 0;
    virtual std::optional<FtpSiteData> ftpSite(const std::string &id) = 0;
    virtual std::vector<ContactData> contacts() = 0;
    virtual std::optional<ContactData> contact(const std::string &id) = 0;
    virtual std::vector<DeviceData> devices() = 0;
    virtual std::optional<DeviceData> device(const std::string &id) = 0;
    // All components (by id), or those of one device when deviceId is given
    // (in the device's own order, that of DeviceData::components).
    virtual std::vector<ComponentData> components(const std::optional<std::string> &deviceId) = 0;
    virtual std::optional<ComponentData> component(const std::string &id) = 0;
    virtual std::vector<StreamprofileData> streamProfiles(const std::string &deviceId) = 0;
    virtual std::optional<StreamprofileData> streamProfile(const std::string &deviceId,
                                                           const std::string &streamId) = 0;
    // Recordings that overlap [start, end] (a segment that starts at or
    // before end and ends at or after start), of one device when deviceId is
    // given. At most limit rows; the caller asks for one more than it can
    // send to learn that the answer is too large.
    virtual std::vector<RecordData> recordings(UnixSeconds start, UnixSeconds end,
                                               const std::optional<std::string> &deviceId,
                                               std::size_t limit) = 0;
    virtual std::vector<TrackerData> trackers() = 0;
    virtual RtspSetting rtspSetting() = 0;
    virtual std::optional<DeviceImage> deviceImage(const std::string &deviceId) = 0;

    // Installation data, write side; durable when they return. The update
    // and delete operations return false for an unknown id.
    virtual bool updateSmtpSetting(const SmtpSettingData &setting) = 0;
    virtual bool updateFtpSite(const FtpSiteData &site) = 0;
    // Stores contact under a new id "contact-<n>", which it sets in
    // contact.id; n grows with every contact added and is never reused, not
    // even after a delete or a new installation.
    virtual void addContact(ContactData &contact) = 0;
    virtual bool updateContact(const ContactData &contact) = 0;
    virtual bool deleteContact(const std::string &id) = 0;

    // Replaces the whole installation in one transaction: on any failure
    // nothing is changed. Users and sessions are kept.
    virtual void replaceInstallation(const Installation &installation) = 0;
    // True when the store holds no installation data and no users.
    virtual bool empty() = 0;

    // Users.
    virtual std::optional<UserRecord> user(const std::string &name) = 0;
    // Creates or replaces a user; replacing a password ends the user's sessions.
    virtual void putUser(const UserRecord &user) = 0;

    // Sessions. findSession answers a session whose lastUsed is at or after
    // notBefore. touchSession sets lastUsed, except while another write holds
    // the store (an import, say): then it returns at once without it, so a
    // request that only reads never waits for a write, and the caller
    // refreshes the session on a later request. deleteSessionsBefore removes
    // the sessions last used before the given time.
    virtual void createSession(const SessionRecord &session) = 0;
    virtual std::optional<SessionRecord> findSession(const std::string &sessionKey,
                                                     UnixSeconds notBefore) = 0;
    virtual void touchSession(const std::string &sessionKey, UnixSeconds now) = 0;
    virtual void deleteSessionsBefore(UnixSeconds time) = 0;
    // Records a signature as used for a session; false when it was used
    // before (a replay) or the session does not exist. Signatures used
    // before keepAfter may be forgotten.
    virtual bool useSignature(const std::string &sessionKey, const std::string &signature,
                              UnixSeconds now, UnixSeconds keepAfter) = 0;
};

} // namespace DataServiceNamespace::server
