// A thin owner of one SQLite connection and its prepared statements, so the
// backend speaks in statements with bound parameters only and never builds
// SQL from values.
//
// Threads: a Connection has no lock of its own; it is used by one thread at a
// time, which the backend guarantees (the writer under its mutex, a reader
// while it is checked out of the pool).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "RecordColumns.h"
#include "Store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace DataServiceNamespace::server {

class Connection;

// The database was locked by another connection for longer than the busy
// timeout.
class StoreBusy : public StoreError {
public:
    using StoreError::StoreError;
};

// A prepared statement in use: parameters are bound by position from 1 and
// columns read from 0. Destroying it resets the statement and clears its
// bindings, so the cached statement is ready for the next use.
class Statement {
public:
    Statement(Connection &connection, sqlite3_stmt *statement)
        : connection_(connection), statement_(statement) {}
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    ~Statement();

    void bind(int index, const std::string &text);
    void bind(int index, int64_t value);
    void bind(int index, int value) { bind(index, static_cast<int64_t>(value)); }
    void bindBlob(int index, const std::vector<unsigned char> &bytes);
    // Binds every column field of record from index on; answers the next index.
    template <class Record> int bindColumns(int index, const Record &record);

    // Runs to the next row: true when there is one, false when done.
    bool step();
    // Runs a statement that answers no rows and makes it ready to be bound
    // and run again.
    void run();

    std::string text(int column) const;
    int64_t integer(int column) const;
    std::vector<unsigned char> blob(int column) const;
    // Reads every column field of record from column on; answers the next column.
    template <class Record> int readColumns(int column, Record &record) const;

private:
    Connection &connection_;
    sqlite3_stmt *statement_;
};

class Connection {
public:
    enum class Mode { ReadWrite, ReadOnly };
    // Opens (creating it in ReadWrite mode) the database at path with foreign
    // keys on and the given busy timeout.
    Connection(const std::string &path, Mode mode, int busyTimeoutMilliseconds);
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection();

    // The statement for sql, prepared on first use and kept for the
    // connection's life. One use of a given sql at a time.
    Statement prepare(const std::string &sql);
    // Runs SQL without parameters (schema scripts, pragmas, BEGIN/COMMIT).
    void execute(const std::string &sql);
    int64_t changes() const;
    void setBusyTimeout(int milliseconds);

    [[noreturn]] void fail(const std::string &what) const;
    sqlite3 *handle() const { return db_; }

private:
    sqlite3 *db_ = nullptr;
    std::unordered_map<std::string, sqlite3_stmt *> statements_;
};

template <class Record> int Statement::bindColumns(int index, const Record &record) {
    auto bindOne = [&](const auto &field) { bind(index++, field); };
    forEachColumn(record, bindOne);
    return index;
}

template <class Record> int Statement::readColumns(int column, Record &record) const {
    auto readOne = [&](auto &field) {
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, cfstring>)
            field = text(column++);
        else
            field = static_cast<int32>(integer(column++));
    };
    forEachColumn(record, readOne);
    return column;
}

} // namespace DataServiceNamespace::server
