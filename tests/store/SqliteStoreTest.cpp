// The SQLite backend on temporary databases: every read against the
// installation it imported, the recordings' overlap filter at its
// boundaries, writes and their persistence, schema versions, sessions and
// signatures, and reads while another connection holds a write transaction.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "InstallationFile.h"
#include "SampleRecords.h"
#include "SqliteConnection.h"
#include "SqliteSchema.h"
#include "SqliteStore.h"
#include "StoreTestSupport.h"
#include "UtcTime.h"

namespace DataServiceNamespace::server {
namespace {

using namespace DataServiceNamespace::testing; // sampleFill, recordDifference
using testing::TemporaryFolder;

UnixSeconds at(const char *text) { return parseUtcTime(text).value(); }

template <class Record>
void expectSameRecords(const std::vector<Record> &actual, const std::vector<Record> &expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i)
        EXPECT_EQ(recordDifference(actual[i], expected[i]), "") << "element " << i;
}

template <class Record>
void expectSameRecord(const std::optional<Record> &actual, const Record &expected) {
    ASSERT_TRUE(actual.has_value());
    EXPECT_EQ(recordDifference(*actual, expected), "");
}

template <class Record> std::vector<Record> sortedById(std::vector<Record> records) {
    std::sort(records.begin(), records.end(),
              [](const Record &l, const Record &r) { return l.id < r.id; });
    return records;
}

class SampleStore : public ::testing::Test {
protected:
    SampleStore() : sample(readInstallationFile(DS_SAMPLE_INSTALLATION)) {
        store.replaceInstallation(sample);
    }
    TemporaryFolder folder;
    Installation sample;
    SqliteStore store{folder.file("store.db")};
};

// Every read, compared with the installation file it came from.
TEST_F(SampleStore, AnswersEveryReadAsImported) {
    expectSameRecords(store.services(), sortedById(sample.services));
    expectSameRecord(store.service("nvr-2"), sample.services[1]);
    expectSameRecords(store.smtpSettings(), sortedById(sample.smtpSettings));
    expectSameRecord(store.smtpSetting("smtp-relay"), sample.smtpSettings[1]);
    expectSameRecords(store.ftpSites(), sortedById(sample.ftpSites));
    expectSameRecord(store.ftpSite("ftp-offsite"), sample.ftpSites[1]);
    expectSameRecords(store.contacts(), sortedById(sample.contacts));
    expectSameRecord(store.contact("contact-3"), sample.contacts[2]);
    expectSameRecords(store.devices(), sortedById(sample.devices));
    expectSameRecord(store.device("cam-06"), sample.devices[5]);
    expectSameRecords(store.trackers(), sortedById(sample.trackers));

    std::vector<ComponentData> all, ofDevice;
    for (const auto &component : sample.components) {
        all.push_back(component.data);
        if (component.deviceId == "cam-03")
            ofDevice.push_back(component.data);
    }
    expectSameRecords(store.components(std::nullopt), sortedById(all));
    expectSameRecords(store.components(std::string("cam-03")), ofDevice);
    expectSameRecord(store.component("cam-03-ptz"), ofDevice[1]);

    std::vector<StreamprofileData> profiles;
    for (const auto &profile : sample.streamProfiles)
        if (profile.deviceId == "cam-02")
            profiles.push_back(profile.data);
    expectSameRecords(store.streamProfiles("cam-02"), sortedById(profiles));
    expectSameRecord(store.streamProfile("cam-02", "mobile"), profiles[2]);

    EXPECT_EQ(store.rtspSetting().ips, sample.rtspSetting.ips);
    EXPECT_EQ(store.rtspSetting().port, sample.rtspSetting.port);
    const auto image = store.deviceImage("cam-12");
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->mediaType, "image/png");
    EXPECT_EQ(image->bytes, sample.images[11].image.bytes);
}

TEST_F(SampleStore, AnswersNothingForUnknownIds) {
    const std::vector<std::pair<const char *, std::function<bool()>>> reads = {
        {"service", [&] { return store.service("nvr-9").has_value(); }},
        {"smtpSetting", [&] { return store.smtpSetting("").has_value(); }},
        {"ftpSite", [&] { return store.ftpSite("FTP-ARCHIVE").has_value(); }},
        {"contact", [&] { return store.contact("contact-99").has_value(); }},
        {"device", [&] { return store.device("cam-1").has_value(); }},
        {"component", [&] { return store.component("cam-01-ptz").has_value(); }},
        {"streamProfile of another device",
         [&] { return store.streamProfile("cam-01", "mobile").has_value(); }},
        {"streamProfiles", [&] { return !store.streamProfiles("cam-99").empty(); }},
        {"components", [&] { return !store.components(std::string("cam-99")).empty(); }},
        {"deviceImage", [&] { return store.deviceImage("cam-99").has_value(); }},
        {"recordings", [&] {
             return !store.recordings(0, INT64_MAX / 2, std::string("cam-99"), 10).empty();
         }},
    };
    for (const auto &[name, read] : reads)
        EXPECT_FALSE(read()) << name;
}

TEST_F(SampleStore, AnswersThirtyDaysOfHourlyRecordingsPerCamera) {
    const auto month = store.recordings(at("2026-11-05T00:00:00Z"), at("2026-12-04T23:59:59Z"),
                                        std::string("cam-07"), 1000);
    ASSERT_EQ(month.size(), 30u * 24u);
    EXPECT_EQ(month.front().id, "cam-07/20261105T000000Z");
    EXPECT_EQ(month.front().start, "2026-11-05T00:00:00Z");
    EXPECT_EQ(month.front().end, "2026-11-05T00:59:59Z");
    EXPECT_EQ(month.front().stream_details.resolution, "1920x1080");
    EXPECT_EQ(month.front().service_id, "nvr-2");
    EXPECT_EQ(month.back().id, "cam-07/20261204T230000Z");
    // One hour of every camera, ordered by start and then id.
    const auto hour = store.recordings(at("2026-11-20T10:00:00Z"), at("2026-11-20T10:59:59Z"),
                                       std::nullopt, 1000);
    ASSERT_EQ(hour.size(), 12u);
    for (std::size_t i = 0; i < hour.size(); ++i)
        EXPECT_EQ(hour[i].id, sample.devices[i].id + "/20261120T100000Z");
}

// A small installation whose recordings sit around the query boundaries.
Installation boundaryInstallation() {
    Installation installation;
    for (const char *id : {"a", "b"}) {
        DeviceData device;
        device.id = id;
        installation.devices.push_back(device);
        Installation::StreamProfile profile{id, {}};
        profile.data.id = "main";
        installation.streamProfiles.push_back(profile);
    }
    auto recording = [&](const char *id, const char *device, const char *start, const char *end) {
        RecordData record;
        record.id = id;
        record.device_id = device;
        record.stream_profile_id = "main";
        record.start = start;
        record.end = end;
        installation.recordings.push_back(record);
    };
    recording("a1", "a", "2026-01-01T10:00:00Z", "2026-01-01T10:59:59Z");
    recording("a2", "a", "2026-01-01T11:00:00Z", "2026-01-01T11:59:59Z");
    recording("b1", "b", "2026-01-01T11:00:00Z", "2026-01-01T11:30:00Z");
    recording("b0", "b", "2026-01-01T11:00:00Z", "2026-01-01T11:00:00Z");
    // Long enough that a scan starting an hour before the query would miss it.
    recording("along", "a", "2026-01-02T00:00:00Z", "2026-01-02T09:59:59Z");
    return installation;
}

struct OverlapCase {
    const char *name;
    const char *start;
    const char *end;
    std::optional<std::string> device;
    std::size_t limit;
    std::vector<std::string> ids;
};

class RecordingOverlap : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(RecordingOverlap, AnswersTheSegmentsThatTouchTheRange) {
    TemporaryFolder folder;
    SqliteStore store(folder.file("store.db"));
    store.replaceInstallation(boundaryInstallation());
    const auto &row = GetParam();
    std::vector<std::string> ids;
    for (const auto &record : store.recordings(at(row.start), at(row.end), row.device, row.limit))
        ids.push_back(record.id);
    EXPECT_EQ(ids, row.ids);
}

const std::optional<std::string> all;
const std::optional<std::string> deviceA = std::string("a");

INSTANTIATE_TEST_SUITE_P(
    Boundaries, RecordingOverlap,
    ::testing::Values(
        OverlapCase{"EndsAtASegmentsStart", "2026-01-01T09:00:00Z", "2026-01-01T10:00:00Z",
                    deviceA, 10, {"a1"}},
        OverlapCase{"EndsJustBeforeIt", "2026-01-01T09:00:00Z", "2026-01-01T09:59:59Z", deviceA,
                    10, {}},
        OverlapCase{"StartsAtASegmentsEnd", "2026-01-01T10:59:59Z", "2026-01-01T10:59:59Z",
                    deviceA, 10, {"a1"}},
        OverlapCase{"StartsJustAfterIt", "2026-01-01T12:00:00Z", "2026-01-01T13:00:00Z", deviceA,
                    10, {}},
        OverlapCase{"AnInstantInsideOne", "2026-01-01T10:30:00Z", "2026-01-01T10:30:00Z", deviceA,
                    10, {"a1"}},
        OverlapCase{"SpansTwoSegments", "2026-01-01T10:59:59Z", "2026-01-01T11:00:00Z", deviceA,
                    10, {"a1", "a2"}},
        OverlapCase{"FindsALongSegmentFromItsLastHour", "2026-01-02T09:00:00Z",
                    "2026-01-02T09:00:01Z", deviceA, 10, {"along"}},
        OverlapCase{"OrdersAllDevicesByStartThenId", "2026-01-01T11:00:00Z",
                    "2026-01-01T11:00:00Z", all, 10, {"a2", "b0", "b1"}},
        OverlapCase{"StopsAtTheLimit", "2026-01-01T00:00:00Z", "2026-01-03T00:00:00Z", all, 2,
                    {"a1", "a2"}},
        OverlapCase{"EndBeforeStartFindsNothing", "2026-01-01T11:00:00Z", "2026-01-01T10:00:00Z",
                    all, 10, {}}),
    [](const auto &info) { return std::string(info.param.name); });

// Each write is checked through the read that answers it, before and after
// the store is opened again.
TEST_F(SampleStore, KeepsWritesAcrossReopen) {
    SmtpSettingData smtp;
    sampleFill(smtp, 3); // texts with a byte that is not UTF-8
    smtp.id = "smtp-main";
    FtpSiteData ftp;
    sampleFill(ftp, 4);
    ftp.id = "ftp-archive";
    ContactData changed;
    sampleFill(changed, 5);
    changed.id = "contact-2";
    ContactData added;
    sampleFill(added, 6);

    EXPECT_TRUE(store.updateSmtpSetting(smtp));
    EXPECT_TRUE(store.updateFtpSite(ftp));
    EXPECT_TRUE(store.updateContact(changed));
    store.addContact(added);
    EXPECT_EQ(added.id, "contact-5");
    EXPECT_TRUE(store.deleteContact("contact-4"));
    store.putUser({"operator", "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA"});

    auto check = [&](Store &opened) {
        expectSameRecord(opened.smtpSetting("smtp-main"), smtp);
        expectSameRecord(opened.ftpSite("ftp-archive"), ftp);
        expectSameRecord(opened.contact("contact-2"), changed);
        expectSameRecord(opened.contact("contact-5"), added);
        EXPECT_FALSE(opened.contact("contact-4").has_value());
        EXPECT_EQ(opened.user("operator")->passwordHash,
                  "$argon2id$v=19$m=65536,t=2,p=1$c2FsdA$aGFzaA");
    };
    check(store);
    SqliteStore reopened(folder.file("store.db"));
    check(reopened);
}

TEST_F(SampleStore, RefusesWritesToUnknownIds) {
    SmtpSettingData smtp;
    smtp.id = "smtp-9";
    FtpSiteData ftp;
    ftp.id = "";
    ContactData contact;
    contact.id = "contact-77";
    EXPECT_FALSE(store.updateSmtpSetting(smtp));
    EXPECT_FALSE(store.updateFtpSite(ftp));
    EXPECT_FALSE(store.updateContact(contact));
    EXPECT_FALSE(store.deleteContact("contact-77"));
    EXPECT_EQ(store.contacts().size(), sample.contacts.size());
}

TEST_F(SampleStore, NeverGivesAContactIdTwice) {
    std::vector<std::string> ids;
    ContactData contact;
    store.addContact(contact);
    ids.push_back(contact.id);
    ASSERT_TRUE(store.deleteContact(contact.id));
    store.addContact(contact);
    ids.push_back(contact.id);
    // A new installation that already holds the next number moves past it.
    Installation next = sample;
    next.contacts.push_back(next.contacts[0]);
    next.contacts.back().id = "contact-8";
    store.replaceInstallation(next);
    store.addContact(contact);
    ids.push_back(contact.id);
    EXPECT_EQ(ids, (std::vector<std::string>{"contact-5", "contact-6", "contact-9"}));
}

RecordData instant(const char *id, const char *device) {
    RecordData record;
    record.id = id;
    record.device_id = device;
    record.start = record.end = "2026-01-01T00:00:00Z";
    return record;
}

// Import failures that only the database finds roll the whole import back.
TEST_F(SampleStore, LeavesTheInstallationAsItWasWhenAnImportFails) {
    const std::vector<std::pair<const char *, std::function<void(Installation &)>>> breakages = {
        {"a duplicate device", [](Installation &i) { i.devices.push_back(i.devices[0]); }},
        {"a recording of an unknown device",
         [](Installation &i) { i.recordings.push_back(instant("r", "nope")); }},
        {"a recording id the schedule gives too",
         [](Installation &i) {
             i.recordings.push_back(instant("cam-01/20261105T000000Z", "cam-01"));
         }},
        {"a component its device does not list",
         [](Installation &i) { i.components[0].deviceId = "cam-02"; }},
        {"a schedule of an unknown profile",
         [](Installation &i) { i.recordingSchedules[3].streamProfileId = "hd"; }},
    };
    for (const auto &[name, breakage] : breakages) {
        Installation broken = sample;
        breakage(broken);
        EXPECT_THROW(store.replaceInstallation(broken), StoreError) << name;
        expectSameRecords(store.devices(), sortedById(sample.devices));
        EXPECT_EQ(store.recordings(0, INT64_MAX / 2, std::nullopt, 1000000).size(),
                  12u * 30u * 24u)
            << name;
    }
}

struct SchemaCase {
    const char *name;
    std::function<void(const std::string &path)> prepare;
    const char *error; // after "<path>: "; empty: opens and reaches the current version
};

void setUserVersion(const std::string &path, int version) {
    Connection(path, Connection::Mode::ReadWrite, 1000)
        .execute("PRAGMA user_version = " + std::to_string(version));
}

class SchemaVersions : public ::testing::TestWithParam<SchemaCase> {};

TEST_P(SchemaVersions, OpenOnlyWhatThisProgramUnderstands) {
    TemporaryFolder folder;
    const std::string path = folder.file("store.db");
    GetParam().prepare(path);
    if (*GetParam().error) {
        try {
            SqliteStore store(path);
            FAIL() << "opened";
        } catch (const StoreError &error) {
            EXPECT_EQ(std::string(error.what()), path + ": " + GetParam().error);
        }
        return;
    }
    SqliteStore store(path);
    Connection raw(path, Connection::Mode::ReadOnly, 1000);
    auto version = raw.prepare("PRAGMA user_version");
    ASSERT_TRUE(version.step());
    EXPECT_EQ(version.integer(0), schemaVersion());
    EXPECT_EQ(store.user("kept").has_value(), std::string(GetParam().name) == "Current");
}

INSTANTIATE_TEST_SUITE_P(
    Migrations, SchemaVersions,
    ::testing::Values(
        SchemaCase{"NoFile", [](const std::string &) {}, ""},
        SchemaCase{"EmptyDatabase", [](const std::string &path) { setUserVersion(path, 0); }, ""},
        SchemaCase{"Current",
                   [](const std::string &path) {
                       SqliteStore(path).putUser({"kept", "hash"});
                   },
                   ""},
        SchemaCase{"Newer", [](const std::string &path) { setUserVersion(path, 99); },
                   "the database has schema version 99, newer than this program's 1"},
        SchemaCase{"NotADatabase",
                   [](const std::string &path) {
                       std::ofstream(path) << "installation notes, not a database\n";
                   },
                   "database: file is not a database (preparing PRAGMA journal_mode = WAL)"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SchemaMigration, TakesEveryEarlierVersionToTheCurrentOneKeepingItsData) {
    for (int from = 0; from < schemaVersion(); ++from) {
        TemporaryFolder folder;
        const std::string path = folder.file("store.db");
        {
            Connection old(path, Connection::Mode::ReadWrite, 1000);
            migrate(old, from);
        }
        SqliteStore store(path);
        store.replaceInstallation(boundaryInstallation());
        EXPECT_EQ(store.devices().size(), 2u) << "from version " << from;
    }
}

class Sessions : public SampleStore {
protected:
    Sessions() {
        store.putUser({"operator", "hash"});
        store.createSession({"key-1", "secret-1", "operator", 1000});
        store.createSession({"key-2", "secret-2", "operator", 1000});
    }
    bool live(const char *key, UnixSeconds notBefore) {
        return store.findSession(key, notBefore).has_value();
    }
};

TEST_F(Sessions, ExpireAfterTheirLastUse) {
    const auto found = store.findSession("key-1", 1000);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->secretKey, "secret-1");
    EXPECT_EQ(found->userName, "operator");
    EXPECT_FALSE(live("key-1", 1001));
    store.touchSession("key-1", 2000);
    store.touchSession("key-1", 1500); // a late request never moves it back
    EXPECT_EQ(store.findSession("key-1", 0)->lastUsed, 2000);
    store.deleteSessionsBefore(1500);
    EXPECT_TRUE(live("key-1", 0));
    EXPECT_FALSE(live("key-2", 0));
    EXPECT_FALSE(live("unknown", 0));
}

TEST_F(Sessions, EndWhenThePasswordChanges) {
    store.putUser({"operator", "new hash"});
    EXPECT_FALSE(live("key-1", 0));
    EXPECT_EQ(store.user("operator")->passwordHash, "new hash");
    EXPECT_THROW(store.createSession({"key-3", "s", "nobody", 1000}), StoreError);
}

TEST_F(Sessions, AcceptEachSignatureOnce) {
    struct Use {
        const char *session;
        const char *signature;
        UnixSeconds now, keepAfter;
        bool accepted;
    };
    const Use uses[] = {
        {"key-1", "aa", 1000, 700, true},
        {"key-1", "aa", 1001, 701, false}, // replay
        {"key-2", "aa", 1002, 702, true},  // same signature, other session
        {"key-1", "bb", 1003, 703, true},
        {"unknown", "cc", 1004, 704, false},
        {"key-1", "aa", 1400, 1100, true}, // forgotten after the window
        {"key-1", "aa", 1401, 1101, false},
    };
    for (const Use &use : uses)
        EXPECT_EQ(store.useSignature(use.session, use.signature, use.now, use.keepAfter),
                  use.accepted)
            << use.session << " " << use.signature << " at " << use.now;
}

// A write transaction held open by another connection (another program, or a
// long import) must not hold reads or session refreshes up: with a short busy
// timeout a waiting read would fail instead of answering the last committed
// state, and a waiting refresh would fail after the default 5 s.
TEST_F(SampleStore, ReadsWhileAnotherConnectionHoldsTheWriteLock) {
    SqliteStore::Options options;
    options.busyTimeoutMilliseconds = 50;
    SqliteStore shortTimeout(folder.file("store.db"), options);
    store.putUser({"operator", "hash"});
    store.createSession({"key-1", "secret-1", "operator", 1000});
    Connection other(folder.file("store.db"), Connection::Mode::ReadWrite, 1000);
    other.execute("BEGIN IMMEDIATE");
    other.execute("DELETE FROM recordings");
    other.execute("INSERT INTO devices (id, name, type) VALUES ('cam-13', '', '')");

    std::vector<std::thread> readers;
    std::atomic<int> answered{0};
    for (int i = 0; i < 4; ++i)
        readers.emplace_back([&] {
            if (shortTimeout.devices().size() == 12 &&
                shortTimeout.recordings(0, INT64_MAX / 2, std::string("cam-01"), 10).size() == 10)
                ++answered;
        });
    for (auto &reader : readers)
        reader.join();
    EXPECT_EQ(answered, 4);
    ContactData contact;
    EXPECT_THROW(shortTimeout.addContact(contact), StoreError); // writes do wait, then give up
    store.touchSession("key-1", 2000); // a refresh does not wait 5 s, nor fail

    other.execute("COMMIT");
    EXPECT_EQ(shortTimeout.devices().size(), 13u);
    EXPECT_EQ(store.findSession("key-1", 0)->lastUsed, 1000);
    store.touchSession("key-1", 2000);
    EXPECT_EQ(store.findSession("key-1", 0)->lastUsed, 2000);
}

// Readers racing an import see the installation before it or after it, whole.
TEST_F(SampleStore, ShowsAnImportWholeOrNotAtAll) {
    Installation larger = sample;
    for (auto &schedule : larger.recordingSchedules)
        schedule.count *= 4;
    std::atomic<bool> done{false};
    std::thread importer([&] {
        store.replaceInstallation(larger);
        done = true;
    });
    std::set<std::size_t> seen;
    while (!done) {
        seen.insert(store.recordings(0, INT64_MAX / 2, std::nullopt, 1000000).size());
        ContactData contact;
        contact.name = "written while importing";
        store.addContact(contact); // waits for the import, never mixes with it
    }
    importer.join();
    seen.insert(store.recordings(0, INT64_MAX / 2, std::nullopt, 1000000).size());
    for (std::size_t count : seen)
        EXPECT_TRUE(count == 12u * 30 * 24 || count == 12u * 120 * 24) << count;
}

// More threads than pooled connections, reading and writing at once: every
// contact added gets its own id and every read answers in full.
TEST_F(SampleStore, ServesManyThreadsAtOnce) {
    constexpr int threads = 12, rounds = 25;
    std::atomic<int> fullAnswers{0};
    std::vector<std::thread> workers;
    std::vector<std::vector<std::string>> added(threads);
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                ContactData contact;
                contact.name = "worker " + std::to_string(t);
                store.addContact(contact);
                added[t].push_back(contact.id);
                const auto device = store.device(sample.devices[round % 12].id);
                const auto day = store.recordings(at("2026-11-20T00:00:00Z"),
                                                  at("2026-11-20T23:59:59Z"), device->id, 100);
                if (device->components.size() >= 2 && day.size() == 24)
                    ++fullAnswers;
            }
        });
    for (auto &worker : workers)
        worker.join();
    EXPECT_EQ(fullAnswers, threads * rounds);
    std::set<std::string> ids;
    for (const auto &list : added)
        ids.insert(list.begin(), list.end());
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(threads * rounds));
    EXPECT_EQ(store.contacts().size(), sample.contacts.size() + threads * rounds);
}

TEST(UtcTime, ReadsOnlyWellFormedUtcTimes) {
    const std::pair<const char *, std::optional<UnixSeconds>> rows[] = {
        {"1970-01-01T00:00:00Z", 0},
        {"2026-11-05T13:00:00Z", 1793883600},
        {"2024-02-29T23:59:59Z", 1709251199},
        {"1969-12-31T23:59:59Z", -1},
        {"2023-02-29T00:00:00Z", std::nullopt},
        {"2026-13-01T00:00:00Z", std::nullopt},
        {"2026-11-05T24:00:00Z", std::nullopt},
        {"2026-11-05T13:00:60Z", std::nullopt},
        {"2026-11-05 13:00:00Z", std::nullopt},
        {"2026-11-05T13:00:00", std::nullopt},
        {"2026-11-05T13:00:00+01:00", std::nullopt},
        {"2026-1-05T13:00:00Z", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto &[text, expected] : rows) {
        EXPECT_EQ(parseUtcTime(text), expected) << text;
        if (expected) {
            EXPECT_EQ(formatUtcTime(*expected), text);
        }
    }
    EXPECT_EQ(formatCompactUtcTime(1793883600), "20261105T130000Z");
}

} // namespace
} // namespace DataServiceNamespace::server
