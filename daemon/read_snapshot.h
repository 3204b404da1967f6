// Reading several tables as one state: a read transaction on a connection,
// and statements of a caller's own on it (the store's cached ones serve
// single lookups; these walk whole tables).
#pragma once

#include "sqlite_handles.h"

namespace zorvd {

class Snapshot {
public:
    explicit Snapshot(sqlite3* db) : db_(db) {
        if (sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) throw StoreError(sqlite3_errmsg(db));
    }
    ~Snapshot() { sqlite3_exec(db_, "END", nullptr, nullptr, nullptr); }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

private:
    sqlite3* db_;
};

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : db_(db) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) throw StoreError(sqlite3_errmsg(db));
        statement_.reset(s);
    }
    // One use: bound, stepped and reset by the Query.
    Query use() { return Query(db_, statement_.get()); }
    sqlite3_stmt* get() const { return statement_.get(); }

private:
    sqlite3* db_;
    StatementPtr statement_;
};

}  // namespace zorvd
