#include "SqliteSchema.h"

#include <iterator>
#include <string>

#include "SqliteConnection.h"

namespace DataServiceNamespace::server {
namespace {

// Column names of record fields are those of RecordColumns.h; the open of
// SqliteStore prepares every generated statement, so a record field without
// its column is found at start-up, not at the first request.
const char *const migrations[] = {
    // 1: the installation, users and sessions.
    R"sql(
CREATE TABLE meta (
  key TEXT PRIMARY KEY,
  value INTEGER NOT NULL
) WITHOUT ROWID;

CREATE TABLE services (
  "id" TEXT PRIMARY KEY,
  "type" TEXT NOT NULL,
  "service_port" INTEGER NOT NULL,
  "service_switch" TEXT NOT NULL
);
CREATE TABLE service_links (
  service_id TEXT NOT NULL REFERENCES services(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  "ref" TEXT NOT NULL,
  "url" TEXT NOT NULL,
  PRIMARY KEY (service_id, position)
) WITHOUT ROWID;

CREATE TABLE smtp_settings (
  "id" TEXT PRIMARY KEY,
  "host" TEXT NOT NULL,
  "port" INTEGER NOT NULL,
  "username" TEXT NOT NULL,
  "password" TEXT NOT NULL,
  "sender" TEXT NOT NULL,
  "need_auth" INTEGER NOT NULL,
  "need_ssl" INTEGER NOT NULL
);
CREATE TABLE ftp_sites (
  "id" TEXT PRIMARY KEY,
  "host" TEXT NOT NULL,
  "port" INTEGER NOT NULL,
  "username" TEXT NOT NULL,
  "password" TEXT NOT NULL,
  "dst_path" TEXT NOT NULL,
  "passive_mode" INTEGER NOT NULL
);
CREATE TABLE contacts (
  "id" TEXT PRIMARY KEY,
  "name" TEXT NOT NULL,
  "email" TEXT NOT NULL,
  "description" TEXT NOT NULL
);

CREATE TABLE devices (
  "id" TEXT PRIMARY KEY,
  "name" TEXT NOT NULL,
  "type" TEXT NOT NULL
);
CREATE TABLE components (
  "id" TEXT PRIMARY KEY,
  device_id TEXT NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  "name" TEXT NOT NULL,
  "type" TEXT NOT NULL
);
CREATE INDEX components_by_device ON components(device_id, position);
CREATE TABLE stream_profiles (
  device_id TEXT NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
  "id" TEXT NOT NULL,
  "rtsp_url" TEXT NOT NULL,
  "bitrates" TEXT NOT NULL,
  "quality" TEXT NOT NULL,
  "fps" TEXT NOT NULL,
  "resolution" TEXT NOT NULL,
  "format" TEXT NOT NULL,
  PRIMARY KEY (device_id, id)
) WITHOUT ROWID;
CREATE TABLE component_stream_profiles (
  component_id TEXT NOT NULL REFERENCES components(id) ON DELETE CASCADE,
  position INTEGER NOT NULL,
  device_id TEXT NOT NULL,
  stream_profile_id TEXT NOT NULL,
  PRIMARY KEY (component_id, position),
  FOREIGN KEY (device_id, stream_profile_id)
    REFERENCES stream_profiles(device_id, id) ON DELETE CASCADE
) WITHOUT ROWID;
CREATE INDEX component_stream_profiles_by_profile
  ON component_stream_profiles(device_id, stream_profile_id);

CREATE TABLE recordings (
  "id" TEXT NOT NULL UNIQUE,
  "start" TEXT NOT NULL,
  "end" TEXT NOT NULL,
  "stream_details_resolution" TEXT NOT NULL,
  "stream_details_format" TEXT NOT NULL,
  "stream_profile_id" TEXT NOT NULL,
  "rtsp_url" TEXT NOT NULL,
  "service_id" TEXT NOT NULL,
  "device_id" TEXT NOT NULL REFERENCES devices(id) ON DELETE CASCADE,
  start_time INTEGER NOT NULL,
  end_time INTEGER NOT NULL,
  CHECK (end_time >= start_time)
);
CREATE INDEX recordings_by_device ON recordings(device_id, start_time, id);
CREATE INDEX recordings_by_start ON recordings(start_time, id);

CREATE TABLE trackers (
  "id" TEXT PRIMARY KEY,
  "type" TEXT NOT NULL,
  "name" TEXT NOT NULL,
  "associated_device_server_id" TEXT NOT NULL,
  "associated_device_device_id" TEXT NOT NULL
);

CREATE TABLE rtsp_setting (
  singleton INTEGER PRIMARY KEY CHECK (singleton = 1),
  port INTEGER NOT NULL
);
CREATE TABLE rtsp_ips (
  position INTEGER PRIMARY KEY,
  ip TEXT NOT NULL
);

CREATE TABLE device_images (
  device_id TEXT PRIMARY KEY REFERENCES devices(id) ON DELETE CASCADE,
  media_type TEXT NOT NULL,
  bytes BLOB NOT NULL
);

CREATE TABLE users (
  name TEXT PRIMARY KEY,
  password_hash TEXT NOT NULL
);
CREATE TABLE sessions (
  session_key TEXT PRIMARY KEY,
  secret_key TEXT NOT NULL,
  user_name TEXT NOT NULL REFERENCES users(name) ON DELETE CASCADE,
  last_used INTEGER NOT NULL
);
CREATE INDEX sessions_by_last_used ON sessions(last_used);
CREATE INDEX sessions_by_user ON sessions(user_name);
CREATE TABLE used_signatures (
  session_key TEXT NOT NULL REFERENCES sessions(session_key) ON DELETE CASCADE,
  signature TEXT NOT NULL,
  used_at INTEGER NOT NULL,
  PRIMARY KEY (session_key, signature)
) WITHOUT ROWID;
CREATE INDEX used_signatures_by_time ON used_signatures(used_at);
)sql",
};

int currentVersion(Connection &connection) {
    auto statement = connection.prepare("PRAGMA user_version");
    statement.step();
    return static_cast<int>(statement.integer(0));
}

} // namespace

int schemaVersion() { return static_cast<int>(std::size(migrations)); }

void migrate(Connection &connection, int target) {
    if (target < 0)
        target = schemaVersion();
    // The version is read inside the write transaction, so two programs that
    // open a new database at once never both apply the same migration.
    for (;;) {
        connection.execute("BEGIN IMMEDIATE");
        try {
            const int version = currentVersion(connection);
            if (version > schemaVersion())
                throw StoreError("the database has schema version " + std::to_string(version) +
                                 ", newer than this program's " +
                                 std::to_string(schemaVersion()));
            if (version >= target) {
                connection.execute("COMMIT");
                return;
            }
            connection.execute(migrations[version]);
            // PRAGMA takes no parameters; the value is our own integer.
            connection.execute("PRAGMA user_version = " + std::to_string(version + 1));
            connection.execute("COMMIT");
        } catch (...) {
            connection.execute("ROLLBACK");
            throw;
        }
    }
}

} // namespace DataServiceNamespace::server
