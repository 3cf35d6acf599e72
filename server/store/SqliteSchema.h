// The SQLite database's schema as a list of migrations: migration i (from 0)
// takes a database from user_version i to i + 1. A migration is fixed text,
// never edited once released, because databases of every earlier version
// must keep upgrading the same way; a change to the schema is a new entry.
#pragma once

#include <cstddef>

namespace DataServiceNamespace::server {

class Connection;

// The user_version this program writes and reads.
int schemaVersion();

// Brings the database to version `target` (the newest when negative), each
// migration in a transaction of its own together with its user_version.
// Throws StoreError for a database newer than this program knows.
void migrate(Connection &connection, int target = -1);

} // namespace DataServiceNamespace::server
