// An online backup of the service's database: SQLite's backup API copies it
// from one of the service's own connections, as one consistent state, while
// the other connections go on reading and writing.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace zorvd {

// Copies the database open on `source` (whose file is `databasePath`) into
// the regular file open for writing at `fd`, replacing its content; returns
// the copy's size in bytes. The copy is made first in a temporary file beside
// the database (SQLite opens files by name; a name for the caller's file
// would be one a caller could swap), then written through `fd` and synced.
// Throws CallError.
uint64_t backupDatabase(sqlite3* source, const std::string& databasePath, int fd);

}  // namespace zorvd
