#include "store.h"

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
const char* const kPackageByName = "SELECT id FROM package WHERE name = ?1";
const char* const kPackageById = "SELECT name FROM package WHERE id = ?1";
const char* const kPackageAdd = "INSERT INTO package(name) VALUES(?1)";
const char* const kFilesOfPackageDel = "DELETE FROM package_file WHERE pkg_id = ?1";
const char* const kFilesOfPackageCount = "SELECT count(*) FROM package_file WHERE pkg_id = ?1";
const char* const kFilePut = "INSERT OR REPLACE INTO package_file(path, pkg_id, type) VALUES(?1, ?2, ?3)";
const char* const kFileGet = "SELECT pkg_id, type FROM package_file WHERE path = ?1";
const char* const kFileAny = "SELECT 1 FROM package_file LIMIT 1";
const char* const kPackagesAfter =
    "SELECT p.id, p.name, coalesce(min(f.type), 0), count(f.path) FROM package p"
    " LEFT JOIN package_file f ON f.pkg_id = p.id WHERE p.id > ?1 GROUP BY p.id ORDER BY p.id LIMIT ?2";
const char* const kFilesOfPackageAfter =
    "SELECT path FROM package_file WHERE pkg_id = ?1 AND path > ?2 ORDER BY path LIMIT ?3";
const char* const kObjectGet = "SELECT oid FROM system_object WHERE kind = ?1 AND name = ?2";
const char* const kObjectAdd = "INSERT OR IGNORE INTO system_object(kind, name, oid) VALUES(?1, ?2, ?3)";
const char* const kAuditAdd =
    "INSERT INTO audit(time, uid, pid, member, subject, old, new, result) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)";
const char* const kAuditCountAll = "SELECT count(*) FROM audit";
const char* const kAuditCountOthers = "SELECT count(*) FROM audit WHERE uid != 0";
const char* const kAuditDropOldestRoot =
    "DELETE FROM audit WHERE id IN (SELECT id FROM audit WHERE uid = 0 ORDER BY id LIMIT ?1)";
const char* const kAuditDropOldestOthers =
    "DELETE FROM audit WHERE id IN (SELECT id FROM audit WHERE uid != 0 ORDER BY id LIMIT ?1)";
const char* const kAuditDropBeforeRoot = "DELETE FROM audit WHERE time < ?1 AND uid = 0";
const char* const kAuditDropBeforeOthers = "DELETE FROM audit WHERE time < ?1 AND uid != 0";
const char* const kAuditAll =
    "SELECT id, time, uid, pid, member, subject, old, new, result FROM audit WHERE id > ?1 AND time >= ?2"
    " ORDER BY id LIMIT ?3";
const char* const kAuditOf =
    "SELECT id, time, uid, pid, member, subject, old, new, result FROM audit WHERE id > ?1 AND time >= ?2"
    " AND (subject = ?4 OR (subject >= ?4 || '/' AND subject < ?4 || '0')) ORDER BY id LIMIT ?3";

uint64_t code(Attribute a) { return static_cast<uint64_t>(a); }
uint64_t code(ObjectKind k) { return static_cast<uint64_t>(k); }

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

Query Store::query(const char* sql) {
    StatementPtr& slot = statements_[sql];
    if (!slot) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK)
            throw StoreError(sqlite3_errmsg(db_.get()));
        slot.reset(s);
    }
    return Query(db_.get(), slot.get());
}

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

std::optional<uint64_t> Store::packageId(const std::string& name) {
    Query q = query(kPackageByName);
    q.bind(1, name);
    if (!q.next()) return std::nullopt;
    return q.number(0);
}

std::optional<std::string> Store::packageName(uint64_t id) {
    Query q = query(kPackageById);
    q.bind(1, id);
    if (!q.next()) return std::nullopt;
    return q.text(0);
}

uint64_t Store::addPackage(const std::string& name) {
    if (auto id = packageId(name)) return *id;
    query(kPackageAdd).bind(1, name).run();
    return static_cast<uint64_t>(sqlite3_last_insert_rowid(db_.get()));
}

uint64_t Store::packageFileCount(uint64_t pkgId) {
    Query q = query(kFilesOfPackageCount);
    q.bind(1, pkgId);
    return q.next() ? q.number(0) : 0;
}

void Store::replacePackageFiles(uint64_t pkgId, const std::vector<std::string>& files, uint32_t type) {
    query(kFilesOfPackageDel).bind(1, pkgId).run();
    Query put = query(kFilePut);
    for (const std::string& f : files) {
        put.bind(1, f).bind(2, pkgId).bind(3, uint64_t(type));
        put.run();
    }
}

void Store::recordFile(const std::string& path, uint64_t pkgId, uint32_t type) {
    query(kFilePut).bind(1, path).bind(2, pkgId).bind(3, uint64_t(type)).run();
}

std::optional<PackageFile> Store::packageFile(const std::string& path) {
    Query q = query(kFileGet);
    q.bind(1, path);
    if (!q.next()) return std::nullopt;
    return PackageFile{q.number(0), static_cast<uint32_t>(q.number(1))};
}

bool Store::anyPackageFile() { return query(kFileAny).next(); }

void Store::forEachPackage(uint64_t afterId, uint32_t limit, const std::function<void(const PackageSummary&)>& each) {
    Query q = query(kPackagesAfter);
    q.bind(1, afterId).bind(2, uint64_t(limit));
    while (q.next()) {
        PackageSummary p;
        p.id = q.number(0);
        p.name = q.text(1);
        p.type = static_cast<uint32_t>(q.number(2));
        p.files = q.number(3);
        each(p);
    }
}

void Store::forEachPackageFile(uint64_t pkgId, const std::string& after, uint32_t limit,
                               const std::function<void(const std::string&)>& each) {
    Query q = query(kFilesOfPackageAfter);
    q.bind(1, pkgId).bind(2, after).bind(3, uint64_t(limit));
    while (q.next()) each(q.text(0));
}

std::optional<uint64_t> Store::objectId(ObjectKind kind, const std::string& name) {
    Query q = query(kObjectGet);
    q.bind(1, code(kind)).bind(2, name);
    if (!q.next()) return std::nullopt;
    return q.number(0);
}

bool Store::addObject(ObjectKind kind, const std::string& name, uint64_t oid) {
    query(kObjectAdd).bind(1, code(kind)).bind(2, name).bind(3, oid).run();
    return sqlite3_changes(db_.get()) > 0;
}

void Store::addAudit(const AuditRecord& r) {
    query(kAuditAdd)
        .bind(1, uint64_t(r.timeUs))
        .bind(2, uint64_t(r.uid))
        .bind(3, uint64_t(r.pid))
        .bind(4, r.member)
        .bind(5, r.subject)
        .bind(6, r.oldValue)
        .bind(7, r.newValue)
        .bind(8, r.result)
        .run();
}

uint64_t Store::auditEntries(AuditKind kind) {
    Query others = query(kAuditCountOthers);
    const uint64_t ofOthers = others.next() ? others.number(0) : 0;
    if (kind == AuditKind::Others) return ofOthers;
    Query all = query(kAuditCountAll);
    return (all.next() ? all.number(0) : 0) - ofOthers;
}

uint64_t Store::dropOldestAudit(AuditKind kind, uint64_t count) {
    query(kind == AuditKind::Root ? kAuditDropOldestRoot : kAuditDropOldestOthers).bind(1, count).run();
    return static_cast<uint64_t>(sqlite3_changes(db_.get()));
}

uint64_t Store::dropAuditBefore(AuditKind kind, int64_t oldestUs) {
    query(kind == AuditKind::Root ? kAuditDropBeforeRoot : kAuditDropBeforeOthers).bind(1, uint64_t(oldestUs)).run();
    return static_cast<uint64_t>(sqlite3_changes(db_.get()));
}

void Store::forEachAudit(const std::string& subject, int64_t sinceUs, uint64_t afterId, uint32_t limit,
                         const std::function<void(const AuditRecord&)>& each) {
    Query q = query(subject.empty() ? kAuditAll : kAuditOf);
    q.bind(1, afterId).bind(2, uint64_t(sinceUs)).bind(3, uint64_t(limit));
    if (!subject.empty()) q.bind(4, subject == "/" ? std::string() : subject);
    while (q.next()) {
        AuditRecord r;
        r.id = q.number(0);
        r.timeUs = static_cast<int64_t>(q.number(1));
        r.uid = static_cast<uint32_t>(q.number(2));
        r.pid = static_cast<uint32_t>(q.number(3));
        r.member = q.text(4);
        r.subject = q.text(5);
        r.oldValue = q.text(6);
        r.newValue = q.text(7);
        r.result = q.text(8);
        each(r);
    }
}

}  // namespace zorvd
