#include "store.h"

#include <stdexcept>
#include <utility>

namespace zorvd {

// Step i brings a database from version i to version i + 1; a new version
// appends a step and never edits an old one.
const char* const kSchemaMigrations[Store::kSchemaVersion] = {
    "CREATE TABLE user_set(attribute INTEGER NOT NULL, path TEXT NOT NULL,"
    "  pkg_id INTEGER NOT NULL, file_id INTEGER NOT NULL, path_id INTEGER NOT NULL,"
    "  PRIMARY KEY(attribute, path)) WITHOUT ROWID;"
    "CREATE TABLE package(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);"
    "CREATE TABLE package_file(path TEXT PRIMARY KEY, pkg_id INTEGER NOT NULL, type INTEGER NOT NULL)"
    "  WITHOUT ROWID;"
    "CREATE INDEX package_file_by_package ON package_file(pkg_id);"
    "CREATE TABLE system_object(kind INTEGER NOT NULL, name TEXT NOT NULL, oid INTEGER NOT NULL,"
    "  PRIMARY KEY(kind, name)) WITHOUT ROWID;",
    // The audit trail. Ids only grow (AUTOINCREMENT), so that a reader who
    // pages through it by id never sees an entry twice.
    "CREATE TABLE audit(id INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL, uid INTEGER NOT NULL,"
    "  pid INTEGER NOT NULL, member TEXT NOT NULL, subject TEXT NOT NULL, old TEXT NOT NULL, new TEXT NOT NULL,"
    "  result TEXT NOT NULL);"
    "CREATE INDEX audit_by_time ON audit(time);"
    "CREATE INDEX audit_by_subject ON audit(subject);",
    // Other users' entries are counted and pruned apart from root's.
    "CREATE INDEX audit_of_others ON audit(id) WHERE uid != 0;",
};

// Readers on connections of their own go on while one writer writes (WAL); a
// second service on the same file is kept out by the service's own lock. The
// write-ahead log is cut back to 16 MiB after each checkpoint instead of
// keeping the size of the largest transaction for ever.
const char* const kStorePragmas =
    "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA busy_timeout=5000; PRAGMA journal_size_limit=16777216;";

namespace {

// Paths below `p` are those between "p/" and "p0" ('0' follows '/'), which an
// index on the path serves as one range.
const char* const kUserSetGet =
    "SELECT pkg_id, file_id, path_id FROM user_set WHERE attribute = ?1 AND path = ?2";
const char* const kUserSetAny = "SELECT 1 FROM user_set WHERE path = ?1 LIMIT 1";
const char* const kUserSetPut =
    "INSERT OR REPLACE INTO user_set(attribute, path, pkg_id, file_id, path_id) VALUES(?1, ?2, ?3, ?4, ?5)";
const char* const kUserSetAll =
    "SELECT path, pkg_id, file_id, path_id FROM user_set WHERE attribute = ?1 ORDER BY path";
const char* const kUserSetOne =
    "SELECT path, pkg_id, file_id, path_id FROM user_set WHERE attribute = ?1 AND path = ?2";
const char* const kUserSetTree =
    "SELECT path, pkg_id, file_id, path_id FROM user_set WHERE attribute = ?1"
    " AND (path = ?2 OR (path >= ?2 || '/' AND path < ?2 || '0')) ORDER BY path";
const char* const kUserSetDelAll = "DELETE FROM user_set WHERE attribute = ?1";
const char* const kUserSetDelOne = "DELETE FROM user_set WHERE attribute = ?1 AND path = ?2";
const char* const kUserSetDelTree =
    "DELETE FROM user_set WHERE attribute = ?1 AND (path = ?2 OR (path >= ?2 || '/' AND path < ?2 || '0'))";
const char* const kUserSetInRange =
    "SELECT path, pkg_id, file_id, path_id FROM user_set WHERE attribute = ?3 AND path > ?1 AND path < ?2"
    " ORDER BY path";
const char* const kUserSetImport =
    "INSERT INTO user_set(attribute, path, pkg_id, file_id, path_id) VALUES(?1, ?2, ?3, ?4, ?5)";
const char* const kAnyRecords =
    "SELECT EXISTS(SELECT 1 FROM user_set) OR EXISTS(SELECT 1 FROM package) OR"
    " EXISTS(SELECT 1 FROM package_file) OR EXISTS(SELECT 1 FROM system_object)";

uint64_t code(Attribute a) { return static_cast<uint64_t>(a); }

}  // namespace

Store::Store(const std::string& path, Mode mode) : path_(path) {
    const int flags = (mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOMUTEX;
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    db_.reset(raw);  // a failed open still hands back a handle to close
    if (rc != SQLITE_OK) throw StoreError(raw ? sqlite3_errmsg(raw) : "no memory");
    if (mode == Mode::Read) {
        exec("PRAGMA busy_timeout=5000");
        return;
    }
    // SQLite opens a file it may not write read-only without a word.
    if (sqlite3_db_readonly(db_.get(), "main") == 1) throw StoreError("the file is read-only");
    exec(kStorePragmas);
    {
        Query mode = query("PRAGMA journal_mode");
        if (!mode.next() || mode.text(0) != "wal") throw StoreError("cannot use a write-ahead log");
    }
    migrate();
}

void Store::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(db_.get());
        sqlite3_free(message);
        throw StoreError(text);
    }
}

void Store::migrate() {
    int version = 0;
    {
        Query q = query("PRAGMA user_version");
        if (q.next()) version = static_cast<int>(q.number(0));
    }
    if (version > kSchemaVersion)
        throw StoreError("database schema version " + std::to_string(version) + " is newer than this service's " +
                         std::to_string(kSchemaVersion));
    for (; version < kSchemaVersion; ++version) {
        Transaction tx(*this);
        exec(kSchemaMigrations[version]);
        exec(("PRAGMA user_version=" + std::to_string(version + 1)).c_str());
        tx.commit();
    }
}

sqlite3_stmt* Store::prepared(StatementPtr& slot, const char* sql) {
    if (!slot) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db_.get()));
        slot.reset(s);
    }
    return slot.get();
}

Query Store::query(const char* sql) { return Query(db_.get(), prepared(statements_[sql], sql)); }

bool Store::insertNew(Query& insert) {
    try {
        insert.run();
        return true;
    } catch (const StoreError&) {
        if ((sqlite3_extended_errcode(db_.get()) & 0xff) == SQLITE_CONSTRAINT) return false;
        throw;
    }
}

std::string Store::quickCheck() {
    std::string verdict;
    auto first = [](void* out, int, char** values, char**) {
        if (static_cast<std::string*>(out)->empty() && values[0]) *static_cast<std::string*>(out) = values[0];
        return 0;
    };
    char* message = nullptr;
    if (sqlite3_exec(db_.get(), "PRAGMA quick_check", first, &verdict, &message) != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errmsg(db_.get());
        sqlite3_free(message);
        throw StoreError(text);
    }
    return verdict;
}

Store::Snapshot::Snapshot(Store& store) : store_(store) {
    if (sqlite3_exec(store_.db_.get(), "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK)
        throw StoreError(sqlite3_errmsg(store_.db_.get()));
}

Store::Snapshot::~Snapshot() { sqlite3_exec(store_.db_.get(), "END", nullptr, nullptr, nullptr); }

Store::Transaction::Transaction(Store& store) : store_(store) {
    if (store_.inTransaction_) throw StoreError("nested transaction");
    store_.exec("BEGIN IMMEDIATE");
    store_.inTransaction_ = true;
}

Store::Transaction::~Transaction() {
    if (done_) return;
    sqlite3_exec(store_.db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    store_.inTransaction_ = false;
}

void Store::Transaction::commit() {
    store_.exec("COMMIT");
    done_ = true;
    store_.inTransaction_ = false;
}

std::optional<ZORV_ID> Store::userSet(Attribute attribute, const std::string& path) {
    Query q = query(kUserSetGet);
    q.bind(1, code(attribute)).bind(2, path);
    if (!q.next()) return std::nullopt;
    return ZORV_ID{q.number(0), q.number(1), q.number(2)};
}

bool Store::anyUserSet(const std::string& path) {
    Query q = query(kUserSetAny);
    q.bind(1, path);
    return q.next();
}

void Store::setUserSet(Attribute attribute, const std::string& path, const ZORV_ID& v) {
    Query q = query(kUserSetPut);
    q.bind(1, code(attribute)).bind(2, path).bind(3, v.pkg_id).bind(4, v.file_id).bind(5, v.path_id);
    q.run();
}

void Store::forEachUserSet(Attribute attribute, const std::string* path, bool subtree, const RecordVisitor& each) {
    Query q = query(!path ? kUserSetAll : subtree ? kUserSetTree : kUserSetOne);
    q.bind(1, code(attribute));
    if (path) q.bind(2, subtree && *path == "/" ? std::string() : *path);  // the root's subtree is every path
    while (q.next()) each(q.text(0), ZORV_ID{q.number(1), q.number(2), q.number(3)});
}

int Store::deleteUserSet(Attribute attribute, const std::string* path, bool subtree) {
    Query q = query(!path ? kUserSetDelAll : subtree ? kUserSetDelTree : kUserSetDelOne);
    q.bind(1, code(attribute));
    if (path) q.bind(2, subtree && *path == "/" ? std::string() : *path);
    q.run();
    return sqlite3_changes(db_.get());
}


RowsInPathOrder Store::userSetInPathOrder(Attribute attribute) {
    const int a = static_cast<int>(attribute);
    return RowsInPathOrder(db_.get(), prepared(recordsInPathOrder_[a], kUserSetInRange), recordsTaken_[a], a);
}

bool Store::importUserSet(Attribute attribute, const std::string& path, const ZORV_ID& v) {
    Query q = query(kUserSetImport);
    q.bind(1, code(attribute)).bind(2, path).bind(3, v.pkg_id).bind(4, v.file_id).bind(5, v.path_id);
    return insertNew(q);
}

bool Store::holdsRecords() {
    Query q = query(kAnyRecords);
    return q.next() && q.number(0) != 0;
}

RowsInPathOrder::RowsInPathOrder(sqlite3* db, sqlite3_stmt* statement, bool& taken, int attribute)
    : db_(db), statement_(statement), taken_(&taken), attribute_(attribute) {
    if (taken) throw std::logic_error("a second walk in path order over the same rows");
    taken = true;
}

RowsInPathOrder::RowsInPathOrder(RowsInPathOrder&& other) noexcept
    : db_(other.db_),
      statement_(std::exchange(other.statement_, nullptr)),
      taken_(std::exchange(other.taken_, nullptr)),
      attribute_(other.attribute_),
      valid_(other.valid_),
      current_(std::move(other.current_)),
      asked_(std::move(other.asked_)) {}

RowsInPathOrder::~RowsInPathOrder() {
    if (!statement_) return;
    sqlite3_reset(statement_);
    *taken_ = false;
}

void RowsInPathOrder::seek(const std::string& after, const std::string& before) {
    sqlite3_reset(statement_);
    sqlite3_bind_text(statement_, 1, after.data(), static_cast<int>(after.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(statement_, 2, before.data(), static_cast<int>(before.size()), SQLITE_TRANSIENT);
    if (attribute_ >= 0) sqlite3_bind_int64(statement_, 3, attribute_);
    asked_.clear();
    step();
}

bool RowsInPathOrder::find(const std::string& path, uint64_t (&values)[3]) {
    if (path < asked_) throw std::logic_error("the walk left path order at " + path);
    asked_ = path;
    while (valid_ && current_ < path) step();
    if (!valid_ || current_ != path) return false;
    for (int i = 0; i < 3; ++i) values[i] = static_cast<uint64_t>(sqlite3_column_int64(statement_, i + 1));
    return true;
}

void RowsInPathOrder::step() {
    int rc = sqlite3_step(statement_);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
    valid_ = rc == SQLITE_ROW;
    if (!valid_) return;
    auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, 0));
    current_.assign(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(statement_, 0)));
}

}  // namespace zorvd
