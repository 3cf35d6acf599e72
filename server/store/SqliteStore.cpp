#include "SqliteStore.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

#include "SqliteConnection.h"
#include "SqliteSchema.h"
#include "UtcTime.h"

namespace DataServiceNamespace::server {
namespace {

// Every statement whose column list comes from the record table, written
// once per record type.
template <class Record> std::string selectFrom(const std::string &table, const std::string &rest) {
    return "SELECT " + columnList<Record>() + " FROM " + table + " " + rest;
}

// INSERT of the record's columns after the extra columns given, all bound.
template <class Record>
std::string insertInto(const std::string &table, const std::vector<std::string> &extra = {}) {
    std::string columns, values;
    for (const std::string &name : extra) {
        columns += name + ", ";
        values += "?, ";
    }
    columns += columnList<Record>();
    for (std::size_t i = 0; i < columnNames<Record>().size(); ++i)
        values += i == 0 ? "?" : ", ?";
    return "INSERT INTO " + table + " (" + columns + ") VALUES (" + values + ")";
}

template <class Record> std::string updateById(const std::string &table) {
    return "UPDATE " + table + " SET " + assignmentList<Record>() + " WHERE id = ?";
}

const std::string selectServices = selectFrom<ServiceData>("services", "ORDER BY id");
const std::string selectService = selectFrom<ServiceData>("services", "WHERE id = ?");
const std::string selectLinks =
    selectFrom<LinkData>("service_links", "WHERE service_id = ? ORDER BY position");
const std::string selectSmtpSettings = selectFrom<SmtpSettingData>("smtp_settings", "ORDER BY id");
const std::string selectSmtpSetting = selectFrom<SmtpSettingData>("smtp_settings", "WHERE id = ?");
const std::string selectFtpSites = selectFrom<FtpSiteData>("ftp_sites", "ORDER BY id");
const std::string selectFtpSite = selectFrom<FtpSiteData>("ftp_sites", "WHERE id = ?");
const std::string selectContacts = selectFrom<ContactData>("contacts", "ORDER BY id");
const std::string selectContact = selectFrom<ContactData>("contacts", "WHERE id = ?");
const std::string selectDevices = selectFrom<DeviceData>("devices", "ORDER BY id");
const std::string selectDevice = selectFrom<DeviceData>("devices", "WHERE id = ?");
const std::string selectDeviceComponentIds =
    "SELECT id FROM components WHERE device_id = ? ORDER BY position";
const std::string selectComponents = selectFrom<ComponentData>("components", "ORDER BY id");
const std::string selectDeviceComponents =
    selectFrom<ComponentData>("components", "WHERE device_id = ? ORDER BY position");
const std::string selectComponent = selectFrom<ComponentData>("components", "WHERE id = ?");
const std::string selectComponentProfileIds = "SELECT stream_profile_id FROM "
                                              "component_stream_profiles WHERE component_id = ? "
                                              "ORDER BY position";
const std::string selectStreamProfiles =
    selectFrom<StreamprofileData>("stream_profiles", "WHERE device_id = ? ORDER BY id");
const std::string selectStreamProfile =
    selectFrom<StreamprofileData>("stream_profiles", "WHERE device_id = ? AND id = ?");
// A segment overlaps [?2, ?3] when start_time <= ?3 and end_time >= ?2. The
// index orders by start_time only, so the scan is bounded below by the
// longest segment stored: no segment that starts before ?2 - span can reach ?2.
const std::string selectDeviceRecordings = selectFrom<RecordData>(
    "recordings", "WHERE device_id = ?1 AND start_time BETWEEN ?2 - ?4 AND ?3 "
                  "AND end_time >= ?2 ORDER BY start_time, id LIMIT ?5");
const std::string selectAllRecordings = selectFrom<RecordData>(
    "recordings", "WHERE ?1 IS NULL AND start_time BETWEEN ?2 - ?4 AND ?3 "
                  "AND end_time >= ?2 ORDER BY start_time, id LIMIT ?5");
const std::string selectTrackers = selectFrom<TrackerData>("trackers", "ORDER BY id");
const std::string selectMeta = "SELECT value FROM meta WHERE key = ?";
const std::string upsertMeta =
    "INSERT INTO meta (key, value) VALUES (?, ?) "
    "ON CONFLICT (key) DO UPDATE SET value = excluded.value";

const std::string insertService = insertInto<ServiceData>("services");
const std::string insertLink = insertInto<LinkData>("service_links", {"service_id", "position"});
const std::string insertSmtpSetting = insertInto<SmtpSettingData>("smtp_settings");
const std::string insertFtpSite = insertInto<FtpSiteData>("ftp_sites");
const std::string insertContact = insertInto<ContactData>("contacts");
const std::string insertDevice = insertInto<DeviceData>("devices");
const std::string insertComponent =
    insertInto<ComponentData>("components", {"device_id", "position"});
const std::string insertComponentProfile =
    "INSERT INTO component_stream_profiles (component_id, position, device_id, stream_profile_id) "
    "VALUES (?, ?, ?, ?)";
const std::string insertStreamProfile =
    insertInto<StreamprofileData>("stream_profiles", {"device_id"});
const std::string insertRecording =
    insertInto<RecordData>("recordings", {"start_time", "end_time"});
const std::string insertTracker = insertInto<TrackerData>("trackers");
const std::string updateSmtp = updateById<SmtpSettingData>("smtp_settings");
const std::string updateFtp = updateById<FtpSiteData>("ftp_sites");
const std::string updateContactRow = updateById<ContactData>("contacts");

// Child tables before their parents, so that the foreign keys hold at every
// step of a replacement.
const char *const installationTables[] = {
    "recordings",    "device_images",  "component_stream_profiles",
    "components",    "stream_profiles", "devices",
    "trackers",      "service_links",   "services",
    "smtp_settings", "ftp_sites",       "contacts",
    "rtsp_ips",      "rtsp_setting",
};

const char *const recordingSpanKey = "recording_span";
const char *const nextContactKey = "next_contact";
const std::string contactPrefix = "contact-";

template <class Record> std::vector<Record> readRows(Statement &statement) {
    std::vector<Record> rows;
    while (statement.step()) {
        rows.emplace_back();
        statement.readColumns(0, rows.back());
    }
    return rows;
}

template <class Record> std::optional<Record> readRow(Statement &statement) {
    if (!statement.step())
        return std::nullopt;
    Record record;
    statement.readColumns(0, record);
    return record;
}

std::vector<cfstring> readTexts(Connection &db, const std::string &sql, const std::string &key) {
    auto statement = db.prepare(sql);
    statement.bind(1, key);
    std::vector<cfstring> texts;
    while (statement.step())
        texts.push_back(statement.text(0));
    return texts;
}

int64_t metaValue(Connection &db, const char *key, int64_t fallback) {
    auto statement = db.prepare(selectMeta);
    statement.bind(1, std::string(key));
    return statement.step() ? statement.integer(0) : fallback;
}

void setMetaValue(Connection &db, const char *key, int64_t value) {
    auto statement = db.prepare(upsertMeta);
    statement.bind(1, std::string(key));
    statement.bind(2, value);
    statement.run();
}

void completeService(Connection &db, ServiceData &service) {
    auto statement = db.prepare(selectLinks);
    statement.bind(1, service.id);
    service.links = readRows<LinkData>(statement);
}

void completeDevice(Connection &db, DeviceData &device) {
    device.components = readTexts(db, selectDeviceComponentIds, device.id);
}

void completeComponent(Connection &db, ComponentData &component) {
    component.stream_profiles = readTexts(db, selectComponentProfileIds, component.id);
}

// The rows of sql (bound to the keys given) with their lists completed.
template <class Record, class Complete>
std::vector<Record> readList(Connection &db, const std::string &sql,
                             const std::vector<std::string> &keys, Complete complete) {
    std::vector<Record> rows;
    {
        auto statement = db.prepare(sql);
        for (std::size_t i = 0; i < keys.size(); ++i)
            statement.bind(static_cast<int>(i + 1), keys[i]);
        rows = readRows<Record>(statement);
    }
    for (Record &row : rows)
        complete(db, row);
    return rows;
}

template <class Record, class Complete>
std::optional<Record> readOne(Connection &db, const std::string &sql,
                              const std::vector<std::string> &keys, Complete complete) {
    auto rows = readList<Record>(db, sql, keys, complete);
    if (rows.empty())
        return std::nullopt;
    return std::move(rows.front());
}

const auto nothingToComplete = [](Connection &, auto &) {};

template <class Record>
bool updateRow(Connection &db, const std::string &sql, const Record &record) {
    auto statement = db.prepare(sql);
    const int next = statement.bindColumns(1, record);
    statement.bind(next, record.id);
    statement.run();
    return db.changes() > 0;
}

// n of an id "contact-<n>", or 0 for any other id.
int64_t contactNumber(const std::string &id) {
    if (id.compare(0, contactPrefix.size(), contactPrefix) != 0 ||
        id.size() == contactPrefix.size() || id.size() > contactPrefix.size() + 15)
        return 0;
    int64_t number = 0;
    for (std::size_t i = contactPrefix.size(); i < id.size(); ++i) {
        if (id[i] < '0' || id[i] > '9')
            return 0;
        number = number * 10 + (id[i] - '0');
    }
    return number;
}

void insertRecordingRow(Statement &statement, const RecordData &record, UnixSeconds start,
                        UnixSeconds end) {
    statement.bind(1, start);
    statement.bind(2, end);
    statement.bindColumns(3, record);
    statement.run();
}

// Writes the recordings of the installation; answers the longest segment.
int64_t writeRecordings(Connection &db, const Installation &installation) {
    auto statement = db.prepare(insertRecording);
    int64_t span = 0;
    for (const RecordData &record : installation.recordings) {
        const auto start = parseUtcTime(record.start);
        const auto end = parseUtcTime(record.end);
        if (!start || !end || *end < *start)
            throw StoreError("recording \"" + record.id + "\" has no valid start and end");
        insertRecordingRow(statement, record, *start, *end);
        span = std::max(span, *end - *start);
    }
    std::map<std::pair<std::string, std::string>, const StreamprofileData *> profiles;
    for (const auto &profile : installation.streamProfiles)
        profiles[{profile.deviceId, profile.data.id}] = &profile.data;
    for (const auto &schedule : installation.recordingSchedules) {
        const auto found = profiles.find({schedule.deviceId, schedule.streamProfileId});
        if (found == profiles.end() || schedule.segmentSeconds <= 0 || schedule.count < 0)
            throw StoreError("the recording schedule of device \"" + schedule.deviceId +
                             "\" is not valid");
        RecordData record;
        record.stream_details.resolution = found->second->resolution;
        record.stream_details.format = found->second->format;
        record.stream_profile_id = schedule.streamProfileId;
        record.service_id = schedule.serviceId;
        record.device_id = schedule.deviceId;
        for (int64_t i = 0; i < schedule.count; ++i) {
            const UnixSeconds start = schedule.first + i * schedule.segmentSeconds;
            const UnixSeconds end = start + schedule.segmentSeconds - 1;
            const std::string compactStart = formatCompactUtcTime(start);
            record.id = schedule.deviceId + "/" + compactStart;
            record.start = formatUtcTime(start);
            record.end = formatUtcTime(end);
            record.rtsp_url = schedule.playbackUrl + "?start=" + compactStart +
                              "&end=" + formatCompactUtcTime(end);
            insertRecordingRow(statement, record, start, end);
        }
        if (schedule.count > 0)
            span = std::max(span, schedule.segmentSeconds - 1);
    }
    return span;
}

void writeInstallation(Connection &db, const Installation &installation) {
    for (const auto &service : installation.services) {
        auto statement = db.prepare(insertService);
        statement.bindColumns(1, service);
        statement.run();
        for (std::size_t i = 0; i < service.links.size(); ++i) {
            auto link = db.prepare(insertLink);
            link.bind(1, service.id);
            link.bind(2, static_cast<int64_t>(i));
            link.bindColumns(3, service.links[i]);
            link.run();
        }
    }
    auto insertAll = [&db](const std::string &sql, const auto &records) {
        for (const auto &record : records) {
            auto statement = db.prepare(sql);
            statement.bindColumns(1, record);
            statement.run();
        }
    };
    insertAll(insertSmtpSetting, installation.smtpSettings);
    insertAll(insertFtpSite, installation.ftpSites);
    insertAll(insertContact, installation.contacts);
    insertAll(insertDevice, installation.devices);
    insertAll(insertTracker, installation.trackers);

    for (const auto &profile : installation.streamProfiles) {
        auto statement = db.prepare(insertStreamProfile);
        statement.bind(1, profile.deviceId);
        statement.bindColumns(2, profile.data);
        statement.run();
    }
    // A component's position is its place in its device's list of components.
    std::map<std::string, int64_t> nextPosition;
    for (const auto &device : installation.devices)
        for (std::size_t i = 0; i < device.components.size(); ++i)
            nextPosition[device.id + '\n' + device.components[i]] = static_cast<int64_t>(i);
    for (const auto &component : installation.components) {
        const auto found = nextPosition.find(component.deviceId + '\n' + component.data.id);
        if (found == nextPosition.end())
            throw StoreError("component \"" + component.data.id + "\" is not listed by device \"" +
                             component.deviceId + "\"");
        auto statement = db.prepare(insertComponent);
        statement.bind(1, component.deviceId);
        statement.bind(2, found->second);
        statement.bindColumns(3, component.data);
        statement.run();
        const auto &profiles = component.data.stream_profiles;
        for (std::size_t i = 0; i < profiles.size(); ++i) {
            auto link = db.prepare(insertComponentProfile);
            link.bind(1, component.data.id);
            link.bind(2, static_cast<int64_t>(i));
            link.bind(3, component.deviceId);
            link.bind(4, profiles[i]);
            link.run();
        }
    }
    for (const auto &image : installation.images) {
        auto statement = db.prepare(
            "INSERT INTO device_images (device_id, media_type, bytes) VALUES (?, ?, ?)");
        statement.bind(1, image.deviceId);
        statement.bind(2, image.image.mediaType);
        statement.bindBlob(3, image.image.bytes);
        statement.run();
    }
    {
        auto statement = db.prepare("INSERT INTO rtsp_setting (singleton, port) VALUES (1, ?)");
        statement.bind(1, installation.rtspSetting.port);
        statement.run();
    }
    const auto &ips = installation.rtspSetting.ips;
    for (std::size_t i = 0; i < ips.size(); ++i) {
        auto statement = db.prepare("INSERT INTO rtsp_ips (position, ip) VALUES (?, ?)");
        statement.bind(1, static_cast<int64_t>(i));
        statement.bind(2, ips[i]);
        statement.run();
    }
    setMetaValue(db, recordingSpanKey, writeRecordings(db, installation));

    // Contact numbers already given out stay given out.
    int64_t next = metaValue(db, nextContactKey, 1);
    for (const auto &contact : installation.contacts)
        next = std::max(next, contactNumber(contact.id) + 1);
    setMetaValue(db, nextContactKey, next);
}

// Every statement made from the record table, prepared once at open so that
// a schema that lacks a record's column is reported before any request.
const std::string *const generatedStatements[] = {
    &selectServices, &selectService, &selectLinks, &selectSmtpSettings, &selectSmtpSetting,
    &selectFtpSites, &selectFtpSite, &selectContacts, &selectContact, &selectDevices,
    &selectDevice, &selectComponents, &selectDeviceComponents, &selectComponent,
    &selectStreamProfiles, &selectStreamProfile, &selectDeviceRecordings, &selectAllRecordings,
    &selectTrackers, &insertService, &insertLink, &insertSmtpSetting, &insertFtpSite,
    &insertContact, &insertDevice, &insertComponent, &insertStreamProfile, &insertRecording,
    &insertTracker, &updateSmtp, &updateFtp, &updateContactRow,
};

} // namespace

SqliteStore::SqliteStore(const std::string &path) : SqliteStore(path, Options{}) {}

SqliteStore::SqliteStore(const std::string &path, const Options &options)
    : path_(path), options_(options) {
    try {
        writer_ = std::make_unique<Connection>(path, Connection::Mode::ReadWrite,
                                               options.busyTimeoutMilliseconds);
        {
            auto mode = writer_->prepare("PRAGMA journal_mode = WAL");
            if (!mode.step() || mode.text(0) != "wal")
                throw StoreError("cannot use write-ahead logging");
        }
        // Durable at commit: a write the service has answered survives a power cut.
        writer_->execute("PRAGMA synchronous = FULL");
        // An import of a million recordings touches every page of three
        // indexes; with SQLite's default 2 MiB cache it reads them back again
        // and again (27 s instead of 14 s). Readers keep the default.
        writer_->execute("PRAGMA cache_size = -65536");
        migrate(*writer_);
        for (const std::string *sql : generatedStatements)
            writer_->prepare(*sql);
    } catch (const StoreError &error) {
        throw StoreError(path + ": " + error.what());
    }
}

SqliteStore::~SqliteStore() = default;

std::unique_ptr<Connection> SqliteStore::takeReader() {
    {
        std::lock_guard<std::mutex> lock(readersMutex_);
        if (!idleReaders_.empty()) {
            auto reader = std::move(idleReaders_.back());
            idleReaders_.pop_back();
            return reader;
        }
    }
    return std::make_unique<Connection>(path_, Connection::Mode::ReadOnly,
                                        options_.busyTimeoutMilliseconds);
}

void SqliteStore::returnReader(std::unique_ptr<Connection> reader) {
    std::lock_guard<std::mutex> lock(readersMutex_);
    if (idleReaders_.size() < options_.maxIdleReaders)
        idleReaders_.push_back(std::move(reader));
}

template <class F> auto SqliteStore::read(F &&work) {
    auto reader = takeReader();
    reader->prepare("BEGIN").run();
    try {
        auto result = work(*reader);
        reader->prepare("COMMIT").run();
        returnReader(std::move(reader));
        return result;
    } catch (...) {
        // A connection whose transaction cannot be ended is dropped, not pooled.
        try {
            reader->prepare("ROLLBACK").run();
            returnReader(std::move(reader));
        } catch (const StoreError &) {
        }
        throw;
    }
}

template <class F> auto SqliteStore::write(F &&work) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    return writeTransaction(work);
}

template <class F> auto SqliteStore::writeTransaction(F &&work) {
    writer_->prepare("BEGIN IMMEDIATE").run();
    try {
        auto result = work(*writer_);
        writer_->prepare("COMMIT").run();
        return result;
    } catch (...) {
        try {
            writer_->prepare("ROLLBACK").run();
        } catch (const StoreError &) {
        }
        throw;
    }
}

template <class Record, class Complete>
std::vector<Record> SqliteStore::list(const std::string &sql, const std::vector<std::string> &keys,
                                      Complete complete) {
    return read([&](Connection &db) { return readList<Record>(db, sql, keys, complete); });
}

template <class Record, class Complete>
std::optional<Record> SqliteStore::one(const std::string &sql, const std::vector<std::string> &keys,
                                       Complete complete) {
    return read([&](Connection &db) { return readOne<Record>(db, sql, keys, complete); });
}

std::vector<ServiceData> SqliteStore::services() {
    return list<ServiceData>(selectServices, {}, completeService);
}

std::optional<ServiceData> SqliteStore::service(const std::string &id) {
    return one<ServiceData>(selectService, {id}, completeService);
}

std::vector<SmtpSettingData> SqliteStore::smtpSettings() {
    return list<SmtpSettingData>(selectSmtpSettings, {}, nothingToComplete);
}

std::optional<SmtpSettingData> SqliteStore::smtpSetting(const std::string &id) {
    return one<SmtpSettingData>(selectSmtpSetting, {id}, nothingToComplete);
}

std::vector<FtpSiteData> SqliteStore::ftpSites() {
    return list<FtpSiteData>(selectFtpSites, {}, nothingToComplete);
}

std::optional<FtpSiteData> SqliteStore::ftpSite(const std::string &id) {
    return one<FtpSiteData>(selectFtpSite, {id}, nothingToComplete);
}

std::vector<ContactData> SqliteStore::contacts() {
    return list<ContactData>(selectContacts, {}, nothingToComplete);
}

std::optional<ContactData> SqliteStore::contact(const std::string &id) {
    return one<ContactData>(selectContact, {id}, nothingToComplete);
}

std::vector<DeviceData> SqliteStore::devices() {
    return list<DeviceData>(selectDevices, {}, completeDevice);
}

std::optional<DeviceData> SqliteStore::device(const std::string &id) {
    return one<DeviceData>(selectDevice, {id}, completeDevice);
}

std::vector<ComponentData> SqliteStore::components(const std::optional<std::string> &deviceId) {
    return deviceId ? list<ComponentData>(selectDeviceComponents, {*deviceId}, completeComponent)
                    : list<ComponentData>(selectComponents, {}, completeComponent);
}

std::optional<ComponentData> SqliteStore::component(const std::string &id) {
    return one<ComponentData>(selectComponent, {id}, completeComponent);
}

std::vector<StreamprofileData> SqliteStore::streamProfiles(const std::string &deviceId) {
    return list<StreamprofileData>(selectStreamProfiles, {deviceId}, nothingToComplete);
}

std::optional<StreamprofileData> SqliteStore::streamProfile(const std::string &deviceId,
                                                           const std::string &streamId) {
    return one<StreamprofileData>(selectStreamProfile, {deviceId, streamId}, nothingToComplete);
}

std::vector<RecordData> SqliteStore::recordings(UnixSeconds start, UnixSeconds end,
                                                const std::optional<std::string> &deviceId,
                                                std::size_t limit) {
    return read([&](Connection &db) {
        const int64_t span = metaValue(db, recordingSpanKey, 0);
        auto statement = db.prepare(deviceId ? selectDeviceRecordings : selectAllRecordings);
        if (deviceId)
            statement.bind(1, *deviceId);
        statement.bind(2, start);
        statement.bind(3, end);
        statement.bind(4, span);
        statement.bind(5, static_cast<int64_t>(std::min<std::size_t>(limit, INT64_MAX)));
        return readRows<RecordData>(statement);
    });
}

std::vector<TrackerData> SqliteStore::trackers() {
    return list<TrackerData>(selectTrackers, {}, nothingToComplete);
}

RtspSetting SqliteStore::rtspSetting() {
    return read([](Connection &db) {
        RtspSetting setting;
        {
            auto statement = db.prepare("SELECT port FROM rtsp_setting");
            if (statement.step())
                setting.port = static_cast<int32>(statement.integer(0));
        }
        auto statement = db.prepare("SELECT ip FROM rtsp_ips ORDER BY position");
        while (statement.step())
            setting.ips.push_back(statement.text(0));
        return setting;
    });
}

std::optional<DeviceImage> SqliteStore::deviceImage(const std::string &deviceId) {
    return read([&](Connection &db) -> std::optional<DeviceImage> {
        auto statement =
            db.prepare("SELECT media_type, bytes FROM device_images WHERE device_id = ?");
        statement.bind(1, deviceId);
        if (!statement.step())
            return std::nullopt;
        return DeviceImage{statement.blob(1), statement.text(0)};
    });
}

bool SqliteStore::updateSmtpSetting(const SmtpSettingData &setting) {
    return write([&](Connection &db) { return updateRow(db, updateSmtp, setting); });
}

bool SqliteStore::updateFtpSite(const FtpSiteData &site) {
    return write([&](Connection &db) { return updateRow(db, updateFtp, site); });
}

void SqliteStore::addContact(ContactData &contact) {
    contact.id = write([&](Connection &db) {
        int64_t number = metaValue(db, nextContactKey, 1);
        ContactData row = contact;
        for (;; ++number) {
            // An imported contact may already hold the next number's id.
            row.id = contactPrefix + std::to_string(number);
            auto exists = db.prepare("SELECT 1 FROM contacts WHERE id = ?");
            exists.bind(1, row.id);
            if (!exists.step())
                break;
        }
        auto statement = db.prepare(insertContact);
        statement.bindColumns(1, row);
        statement.run();
        setMetaValue(db, nextContactKey, number + 1);
        return row.id;
    });
}

bool SqliteStore::updateContact(const ContactData &contact) {
    return write([&](Connection &db) { return updateRow(db, updateContactRow, contact); });
}

bool SqliteStore::deleteContact(const std::string &id) {
    return write([&](Connection &db) {
        auto statement = db.prepare("DELETE FROM contacts WHERE id = ?");
        statement.bind(1, id);
        statement.run();
        return db.changes() > 0;
    });
}

void SqliteStore::replaceInstallation(const Installation &installation) {
    write([&](Connection &db) {
        for (const char *table : installationTables)
            db.execute(std::string("DELETE FROM ") + table);
        writeInstallation(db, installation);
        return true;
    });
    // Gives the space of a large import's log back; readers still in an older
    // snapshot only make it do less, never fail.
    std::lock_guard<std::mutex> lock(writeMutex_);
    writer_->execute("PRAGMA wal_checkpoint(TRUNCATE)");
}

bool SqliteStore::empty() {
    return read([](Connection &db) {
        auto statement = db.prepare(
            "SELECT EXISTS (SELECT 1 FROM devices) OR EXISTS (SELECT 1 FROM services) "
            "OR EXISTS (SELECT 1 FROM smtp_settings) OR EXISTS (SELECT 1 FROM ftp_sites) "
            "OR EXISTS (SELECT 1 FROM contacts) OR EXISTS (SELECT 1 FROM trackers) "
            "OR EXISTS (SELECT 1 FROM rtsp_setting) OR EXISTS (SELECT 1 FROM users)");
        statement.step();
        return statement.integer(0) == 0;
    });
}

std::optional<UserRecord> SqliteStore::user(const std::string &name) {
    return read([&](Connection &db) -> std::optional<UserRecord> {
        auto statement = db.prepare("SELECT name, password_hash FROM users WHERE name = ?");
        statement.bind(1, name);
        if (!statement.step())
            return std::nullopt;
        return UserRecord{statement.text(0), statement.text(1)};
    });
}

void SqliteStore::putUser(const UserRecord &user) {
    write([&](Connection &db) {
        {
            auto ended = db.prepare("DELETE FROM sessions WHERE user_name = ?");
            ended.bind(1, user.name);
            ended.run();
        }
        auto statement =
            db.prepare("INSERT INTO users (name, password_hash) VALUES (?, ?) "
                       "ON CONFLICT (name) DO UPDATE SET password_hash = excluded.password_hash");
        statement.bind(1, user.name);
        statement.bind(2, user.passwordHash);
        statement.run();
        return true;
    });
}

void SqliteStore::createSession(const SessionRecord &session) {
    write([&](Connection &db) {
        auto statement = db.prepare("INSERT INTO sessions (session_key, secret_key, user_name, "
                                    "last_used) VALUES (?, ?, ?, ?)");
        statement.bind(1, session.sessionKey);
        statement.bind(2, session.secretKey);
        statement.bind(3, session.userName);
        statement.bind(4, session.lastUsed);
        statement.run();
        return true;
    });
}

std::optional<SessionRecord> SqliteStore::findSession(const std::string &sessionKey,
                                                      UnixSeconds notBefore) {
    return read([&](Connection &db) -> std::optional<SessionRecord> {
        auto statement = db.prepare("SELECT session_key, secret_key, user_name, last_used FROM "
                                    "sessions WHERE session_key = ? AND last_used >= ?");
        statement.bind(1, sessionKey);
        statement.bind(2, notBefore);
        if (!statement.step())
            return std::nullopt;
        return SessionRecord{statement.text(0), statement.text(1), statement.text(2),
                             statement.integer(3)};
    });
}

void SqliteStore::touchSession(const std::string &sessionKey, UnixSeconds now) {
    // Neither the writer of this process nor another process's write lock
    // is waited for.
    std::unique_lock<std::mutex> lock(writeMutex_, std::try_to_lock);
    if (!lock.owns_lock())
        return;
    writer_->setBusyTimeout(0);
    try {
        touchSessionNow(sessionKey, now);
    } catch (const StoreBusy &) {
    } catch (...) {
        writer_->setBusyTimeout(options_.busyTimeoutMilliseconds);
        throw;
    }
    writer_->setBusyTimeout(options_.busyTimeoutMilliseconds);
}

void SqliteStore::touchSessionNow(const std::string &sessionKey, UnixSeconds now) {
    writeTransaction([&](Connection &db) {
        // Never moves backwards when two requests of one session race.
        auto statement = db.prepare(
            "UPDATE sessions SET last_used = max(last_used, ?) WHERE session_key = ?");
        statement.bind(1, now);
        statement.bind(2, sessionKey);
        statement.run();
        return true;
    });
}

void SqliteStore::deleteSessionsBefore(UnixSeconds time) {
    write([&](Connection &db) {
        auto statement = db.prepare("DELETE FROM sessions WHERE last_used < ?");
        statement.bind(1, time);
        statement.run();
        return true;
    });
}

bool SqliteStore::useSignature(const std::string &sessionKey, const std::string &signature,
                               UnixSeconds now, UnixSeconds keepAfter) {
    return write([&](Connection &db) {
        {
            auto forget = db.prepare("DELETE FROM used_signatures WHERE used_at < ?");
            forget.bind(1, keepAfter);
            forget.run();
        }
        auto statement = db.prepare(
            "INSERT INTO used_signatures (session_key, signature, used_at) "
            "SELECT session_key, ?, ? FROM sessions WHERE session_key = ? "
            "ON CONFLICT DO NOTHING");
        statement.bind(1, signature);
        statement.bind(2, now);
        statement.bind(3, sessionKey);
        statement.run();
        return db.changes() == 1;
    });
}

} // namespace DataServiceNamespace::server
