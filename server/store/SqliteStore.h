// The SQLite backend of the store: one database file in WAL mode, so that
// readers see the last committed state while a writer works.
//
// Threads and locks:
//   - writer_ (one connection) is owned by the store and used only under
//     writeMutex_: writes are serialised in the process, and a write
//     transaction of another process (a second program on the same file)
//     is waited for up to the busy timeout.
//   - Reads take a connection of their own from the read pool (readersMutex_
//     guards only the list of idle connections, never a query). When no idle
//     connection is left a new one is opened instead of waiting, so reads
//     wait neither for a write transaction nor for each other; at most
//     maxIdleReaders stay open afterwards.
//   - Each read runs in one read transaction, so a read that takes several
//     statements (a device with its components) sees one snapshot.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Store.h"

namespace DataServiceNamespace::server {

class Connection;

class SqliteStore : public Store {
public:
    struct Options {
        int busyTimeoutMilliseconds = 5000;
        std::size_t maxIdleReaders = 8; // open connections kept for reuse
    };
    // Opens the database at path, creating it when missing, and migrates it
    // to the schema of this program. Throws StoreError when the file is not
    // a database, is newer than this program or cannot be opened.
    explicit SqliteStore(const std::string &path);
    SqliteStore(const std::string &path, const Options &options);
    SqliteStore(const SqliteStore &) = delete;
    SqliteStore &operator=(const SqliteStore &) = delete;
    ~SqliteStore() override;

    std::vector<ServiceData> services() override;
    std::optional<ServiceData> service(const std::string &id) override;
    std::vector<SmtpSettingData> smtpSettings() override;
    std::optional<SmtpSettingData> smtpSetting(const std::string &id) override;
    std::vector<FtpSiteData> ftpSites() override;
    std::optional<FtpSiteData> ftpSite(const std::string &id) override;
    std::vector<ContactData> contacts() override;
    std::optional<ContactData> contact(const std::string &id) override;
    std::vector<DeviceData> devices() override;
    std::optional<DeviceData> device(const std::string &id) override;
    std::vector<ComponentData> components(const std::optional<std::string> &deviceId) override;
    std::optional<ComponentData> component(const std::string &id) override;
    std::vector<StreamprofileData> streamProfiles(const std::string &deviceId) override;
    std::optional<StreamprofileData> streamProfile(const std::string &deviceId,
                                                   const std::string &streamId) override;
    std::vector<RecordData> recordings(UnixSeconds start, UnixSeconds end,
                                       const std::optional<std::string> &deviceId,
                                       std::size_t limit) override;
    std::vector<TrackerData> trackers() override;
    RtspSetting rtspSetting() override;
    std::optional<DeviceImage> deviceImage(const std::string &deviceId) override;

    bool updateSmtpSetting(const SmtpSettingData &setting) override;
    bool updateFtpSite(const FtpSiteData &site) override;
    void addContact(ContactData &contact) override;
    bool updateContact(const ContactData &contact) override;
    bool deleteContact(const std::string &id) override;

    void replaceInstallation(const Installation &installation) override;
    bool empty() override;

    std::optional<UserRecord> user(const std::string &name) override;
    void putUser(const UserRecord &user) override;

    void createSession(const SessionRecord &session) override;
    std::optional<SessionRecord> findSession(const std::string &sessionKey,
                                             UnixSeconds notBefore) override;
    void touchSession(const std::string &sessionKey, UnixSeconds now) override;
    void deleteSessionsBefore(UnixSeconds time) override;
    bool useSignature(const std::string &sessionKey, const std::string &signature,
                      UnixSeconds now, UnixSeconds keepAfter) override;

private:
    // Runs work(connection) in a read transaction on a pooled connection.
    template <class F> auto read(F &&work);
    // Runs work(connection) in a write transaction under writeMutex_.
    template <class F> auto write(F &&work);
    // The same with writeMutex_ already held.
    template <class F> auto writeTransaction(F &&work);
    void touchSessionNow(const std::string &sessionKey, UnixSeconds now);
    // The rows of a generated SELECT bound to keys, each completed with its
    // lists by complete(connection, record), in one read transaction.
    template <class Record, class Complete>
    std::vector<Record> list(const std::string &sql, const std::vector<std::string> &keys,
                             Complete complete);
    template <class Record, class Complete>
    std::optional<Record> one(const std::string &sql, const std::vector<std::string> &keys,
                              Complete complete);
    std::unique_ptr<Connection> takeReader();
    void returnReader(std::unique_ptr<Connection> reader);

    std::string path_;
    Options options_;
    std::mutex writeMutex_;               // guards writer_ and every write transaction
    std::unique_ptr<Connection> writer_;  // under writeMutex_
    std::mutex readersMutex_;             // guards idleReaders_ only
    std::vector<std::unique_ptr<Connection>> idleReaders_;
};

} // namespace DataServiceNamespace::server
