// One connection to the service's database: user-set records per attribute,
// the package table, the files recorded for each package, the registered
// devices and kernel modules, and the audit trail, in one SQLite file (WAL
// journal, synchronous=FULL). The schema version is kept in user_version and
// older files are migrated when the writing connection opens them.
#pragma once

#include <zorv/labelmgr.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "protocol/attributes.h"
#include "sqlite_handles.h"

namespace zorvd {

// The attributes a user can set per path, numbered as the attribute table
// numbers them. Single-valued ones keep their value in pkg_id, as the record
// queries hand them out.
enum class Attribute { PkgId = 0, Oid = 1, Sid = 2, Tid = 3, InheritFlag = 4 };
static_assert(static_cast<int>(Attribute::PkgId) == static_cast<int>(zorv::protocol::AttributeId::PkgId) &&
                  static_cast<int>(Attribute::InheritFlag) ==
                      static_cast<int>(zorv::protocol::AttributeId::InheritFlag),
              "the store's numbers of the attributes are the table's");

constexpr Attribute storedAttribute(const zorv::protocol::AttributeInfo& info) {
    return static_cast<Attribute>(info.id);
}

// Kinds of system objects that get identifiers.
enum class ObjectKind { Device = 0, KernelModule = 1 };

struct PackageFile {
    uint64_t pkgId;
    uint32_t type;
};

// A package as the administration interface lists it.
struct PackageSummary {
    uint64_t id = 0;
    std::string name;
    uint32_t type = 0;   // the lowest type among its files; 0 when it has none
    uint64_t files = 0;  // how many files are recorded for it
};

// The audit trail's entries and their two kinds (audit.h).
struct AuditRecord;
enum class AuditKind;

// The rows of one table whose paths lie in a range, read in path order
// alongside a walk that asks for paths in the same order: the user-set
// records of one attribute, or the files of every package. A store hands out
// one of each at a time; it resets its statement when it goes.
class RowsInPathOrder {
public:
    RowsInPathOrder(RowsInPathOrder&& other) noexcept;
    RowsInPathOrder& operator=(RowsInPathOrder&&) = delete;
    RowsInPathOrder(const RowsInPathOrder&) = delete;
    RowsInPathOrder& operator=(const RowsInPathOrder&) = delete;
    ~RowsInPathOrder();

    // Starts over on the paths after `after` and before `before`.
    void seek(const std::string& after, const std::string& before);
    // The numbers of `path`'s row, if it has one: a record's pkg_id, file_id
    // and path_id, or a file's package and type (and 0). Paths must be asked
    // for in byte order from one seek to the next.
    bool find(const std::string& path, uint64_t (&values)[3]);

private:
    friend class Store;
    RowsInPathOrder(sqlite3* db, sqlite3_stmt* statement, bool& taken, int attribute);
    void step();

    sqlite3* db_;
    sqlite3_stmt* statement_;
    bool* taken_;
    int attribute_;  // bound to the records' statement; -1 for the files'
    bool valid_ = false;
    std::string current_, asked_;
};

class Store {
public:
    static constexpr int kSchemaVersion = 3;

    // Opens the database. The writing connection creates it when missing and
    // brings its schema to the current version; a reading one only reads.
    // Throws StoreError, also for a file written by a newer version.
    enum class Mode { Write, Read };
    Store(const std::string& path, Mode mode);

    // A read transaction: what is read through the connection while it lasts
    // is one state of the database, whatever is written meanwhile.
    class Snapshot {
    public:
        explicit Snapshot(Store& store);
        ~Snapshot();
        Snapshot(const Snapshot&) = delete;
        Snapshot& operator=(const Snapshot&) = delete;

    private:
        Store& store_;
    };

    // A write transaction; rolled back unless committed. Only one at a time.
    class Transaction {
    public:
        explicit Transaction(Store& store);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        void commit();

    private:
        Store& store_;
        bool done_ = false;
    };

    std::optional<ZORV_ID> userSet(Attribute attribute, const std::string& path);
    bool anyUserSet(const std::string& path);
    void setUserSet(Attribute attribute, const std::string& path, const ZORV_ID& value);
    // Calls `each` for the records of `path` (and of every path below it with
    // `subtree`), or of all paths when `path` is null, in byte order of the paths.
    using RecordVisitor = std::function<void(const std::string& path, const ZORV_ID& value)>;
    void forEachUserSet(Attribute attribute, const std::string* path, bool subtree, const RecordVisitor& each);
    // Number of records removed.
    int deleteUserSet(Attribute attribute, const std::string* path, bool subtree);
    RowsInPathOrder userSetInPathOrder(Attribute attribute);

    std::optional<uint64_t> packageId(const std::string& name);
    std::optional<std::string> packageName(uint64_t id);
    // The package's identifier, creating the package when it is new.
    uint64_t addPackage(const std::string& name);
    uint64_t packageFileCount(uint64_t pkgId);
    // Makes `files` the whole set of files recorded for the package.
    void replacePackageFiles(uint64_t pkgId, const std::vector<std::string>& files, uint32_t type);
    void recordFile(const std::string& path, uint64_t pkgId, uint32_t type);
    std::optional<PackageFile> packageFile(const std::string& path);
    bool anyPackageFile();
    // Packages with an identifier above `afterId`, in identifier order, at
    // most `limit` of them.
    void forEachPackage(uint64_t afterId, uint32_t limit, const std::function<void(const PackageSummary&)>& each);
    // The files recorded for the package that sort after `after`, in byte
    // order, at most `limit` of them.
    void forEachPackageFile(uint64_t pkgId, const std::string& after, uint32_t limit,
                            const std::function<void(const std::string&)>& each);
    // Every package in identifier order, each followed by its files in byte
    // order of their paths.
    void forEachPackageWithFiles(const std::function<void(uint64_t id, const std::string& name)>& package,
                                 const std::function<void(const std::string& path, uint32_t type)>& file);
    RowsInPathOrder packageFilesInPathOrder();

    std::optional<uint64_t> objectId(ObjectKind kind, const std::string& name);
    // False when the object was registered already.
    bool addObject(ObjectKind kind, const std::string& name, uint64_t oid);
    // The objects of the kind in byte order of their names.
    void forEachObject(ObjectKind kind, const std::function<void(const std::string& name, uint64_t oid)>& each);

    // Whether anything but the audit trail is recorded: a user-set record, a
    // package, a package's file or an object.
    bool holdsRecords();
    // The rows of an import, each as it is given: false when a row of the
    // same key (or a package of the same name) is there already.
    bool importUserSet(Attribute attribute, const std::string& path, const ZORV_ID& value);
    bool importPackage(uint64_t id, const std::string& name);
    bool importPackageFile(const std::string& path, uint64_t pkgId, uint32_t type);
    bool importObject(ObjectKind kind, const std::string& name, uint64_t oid);

    void addAudit(const AuditRecord& record);
    // How many entries of the kind the trail holds.
    uint64_t auditEntries(AuditKind kind);
    // Drops the oldest `count` entries of the kind; the number dropped.
    uint64_t dropOldestAudit(AuditKind kind, uint64_t count);
    // Drops the entries of the kind older than `oldestUs`; the number dropped.
    uint64_t dropAuditBefore(AuditKind kind, int64_t oldestUs);
    // Entries after `afterId` and not older than `sinceUs`, oldest first, at
    // most `limit`; with a subject, only those naming it or a path below it.
    void forEachAudit(const std::string& subject, int64_t sinceUs, uint64_t afterId, uint32_t limit,
                      const std::function<void(const AuditRecord&)>& each);

    // SQLite's quick check of every page: "ok", or the first problem found.
    std::string quickCheck();

    sqlite3* handle() { return db_.get(); }
    const std::string& path() const { return path_; }

private:
    Query query(const char* sql);
    sqlite3_stmt* prepared(StatementPtr& slot, const char* sql);
    void exec(const char* sql);
    void migrate();
    // Runs an insert of an import: false when it breaks a uniqueness constraint.
    bool insertNew(Query& insert);

    std::string path_;
    DatabasePtr db_;
    std::unordered_map<const char*, StatementPtr> statements_;  // by the address of their SQL constant
    // The statements of the walks in path order, one for each attribute's
    // records and one for the files, and whether a walk holds each.
    StatementPtr recordsInPathOrder_[5], filesInPathOrder_;
    bool recordsTaken_[5] = {}, filesTaken_ = false;
    bool inTransaction_ = false;
};

// The schema, shared with the benchmark that measures the store's baseline.
extern const char* const kSchemaMigrations[Store::kSchemaVersion];
// The pragmas the writing connection runs with.
extern const char* const kStorePragmas;

}  // namespace zorvd
