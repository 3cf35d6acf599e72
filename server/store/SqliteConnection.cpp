#include "SqliteConnection.h"

#include <cassert>

#include <sqlite3.h>

namespace DataServiceNamespace::server {

Statement::~Statement() {
    // Every query is answered from an index in the order it asks for
    // (docs/store.md); a sort or an automatic index means one lost its index.
    // Checked in debug builds, which the sanitizer test runs use.
    assert(sqlite3_stmt_status(statement_, SQLITE_STMTSTATUS_SORT, 1) == 0 &&
           sqlite3_stmt_status(statement_, SQLITE_STMTSTATUS_AUTOINDEX, 1) == 0);
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

void Statement::bind(int index, const std::string &text) {
    if (sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK)
        connection_.fail("binding a parameter");
}

void Statement::bind(int index, int64_t value) {
    if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK)
        connection_.fail("binding a parameter");
}

void Statement::bindBlob(int index, const std::vector<unsigned char> &bytes) {
    // A zero-length blob must still be a blob, not NULL, hence the non-null pointer.
    static const unsigned char none = 0;
    if (sqlite3_bind_blob(statement_, index, bytes.empty() ? &none : bytes.data(),
                          static_cast<int>(bytes.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        connection_.fail("binding a parameter");
}

bool Statement::step() {
    switch (sqlite3_step(statement_)) {
    case SQLITE_ROW:
        return true;
    case SQLITE_DONE:
        return false;
    default:
        connection_.fail(sqlite3_sql(statement_));
    }
}

void Statement::run() {
    step();
    sqlite3_reset(statement_);
}

std::string Statement::text(int column) const {
    const auto *bytes = sqlite3_column_text(statement_, column);
    return bytes ? std::string(reinterpret_cast<const char *>(bytes),
                               static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)))
                 : std::string();
}

int64_t Statement::integer(int column) const { return sqlite3_column_int64(statement_, column); }

std::vector<unsigned char> Statement::blob(int column) const {
    const auto *bytes = static_cast<const unsigned char *>(sqlite3_column_blob(statement_, column));
    if (!bytes)
        return {};
    return std::vector<unsigned char>(bytes, bytes + sqlite3_column_bytes(statement_, column));
}

Connection::Connection(const std::string &path, Mode mode, int busyTimeoutMilliseconds) {
    const int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE |
                      (mode == Mode::ReadOnly ? SQLITE_OPEN_READONLY
                                              : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string message =
            db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open the database: " + message);
    }
    sqlite3_busy_timeout(db_, busyTimeoutMilliseconds);
    try {
        execute("PRAGMA foreign_keys = ON");
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

Connection::~Connection() {
    for (auto &entry : statements_)
        sqlite3_finalize(entry.second);
    sqlite3_close(db_);
}

Statement Connection::prepare(const std::string &sql) {
    auto found = statements_.find(sql);
    if (found == statements_.end()) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()) + 1,
                               SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
            fail("preparing " + sql);
        found = statements_.emplace(sql, statement).first;
    }
    return Statement(*this, found->second);
}

void Connection::execute(const std::string &sql) {
    char *message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        throw StoreError("database: " + text);
    }
}

int64_t Connection::changes() const { return sqlite3_changes64(db_); }

void Connection::setBusyTimeout(int milliseconds) { sqlite3_busy_timeout(db_, milliseconds); }

void Connection::fail(const std::string &what) const {
    if ((sqlite3_errcode(db_) & 0xff) == SQLITE_BUSY)
        throw StoreBusy("database: " + std::string(sqlite3_errmsg(db_)) + " (" + what + ")");
    throw StoreError("database: " + std::string(sqlite3_errmsg(db_)) + " (" + what + ")");
}

} // namespace DataServiceNamespace::server
