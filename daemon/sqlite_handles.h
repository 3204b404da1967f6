// Owning handles over SQLite's database and statement objects, and the error
// that every failed SQLite call becomes.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace zorvd {

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct DatabaseClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DatabasePtr = std::unique_ptr<sqlite3, DatabaseClose>;

struct StatementFinalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StatementPtr = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

// One use of a prepared statement: binds its parameters, steps through its
// rows and leaves it reset for the next use, on every path. Unsigned 64-bit
// values are stored bit for bit in SQLite's signed integers.
class Query {
public:
    Query(sqlite3* db, sqlite3_stmt* statement) : db_(db), s_(statement) {}
    ~Query() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Query& bind(int index, const std::string& text) {
        return check(sqlite3_bind_text(s_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
    }
    Query& bind(int index, uint64_t value) {
        return check(sqlite3_bind_int64(s_, index, static_cast<sqlite3_int64>(value)));
    }
    // True while a row is there to read; throws on a failed step.
    bool next() {
        int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw StoreError(sqlite3_errmsg(db_));
    }
    // Runs the statement to its end and readies it to be bound and run again.
    void run() {
        while (next()) {
        }
        sqlite3_reset(s_);
    }
    std::string text(int column) const {
        auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, column));
        return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(s_, column)));
    }
    uint64_t number(int column) const { return static_cast<uint64_t>(sqlite3_column_int64(s_, column)); }

private:
    Query& check(int rc) {
        if (rc != SQLITE_OK) throw StoreError(sqlite3_errmsg(db_));
        return *this;
    }
    sqlite3* db_;
    sqlite3_stmt* s_;
};

}  // namespace zorvd
