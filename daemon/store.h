// The service's database: user-set records per attribute, the package table,
// the files recorded for each package and the registered devices and kernel
// modules, in one SQLite file (WAL journal, synchronous=FULL). The schema
// version is kept in user_version and older files are migrated on opening.
#pragma once

#include <zorv/labelmgr.h>

#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sqlite_handles.h"

namespace zorvd {

// The attributes a user can set per path. Single-valued ones keep their value
// in pkg_id, as the record queries hand them out.
enum class Attribute { PkgId = 0, Oid = 1, Sid = 2, Tid = 3, InheritFlag = 4 };

// Kinds of system objects that get identifiers.
enum class ObjectKind { Device = 0, KernelModule = 1 };

struct PackageFile {
    uint64_t pkgId;
    uint32_t type;
};

class Store {
public:
    static constexpr int kSchemaVersion = 1;

    // Opens or creates the database and brings its schema to the current
    // version. Throws StoreError, also for a file written by a newer version.
    explicit Store(const std::string& path);

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

    using Records = std::vector<std::pair<std::string, ZORV_ID>>;

    std::optional<ZORV_ID> userSet(Attribute attribute, const std::string& path);
    bool anyUserSet(const std::string& path);
    void setUserSet(Attribute attribute, const std::string& path, const ZORV_ID& value);
    // The records of `path` (and of every path below it with `subtree`), or of
    // all paths when `path` is null, in byte order of the paths.
    Records userSetRecords(Attribute attribute, const std::string* path, bool subtree);
    // Number of records removed.
    int deleteUserSet(Attribute attribute, const std::string* path, bool subtree);

    std::optional<uint64_t> packageId(const std::string& name);
    std::optional<std::string> packageName(uint64_t id);
    // The package's identifier, creating the package when it is new.
    uint64_t addPackage(const std::string& name);
    // Makes `files` the whole set of files recorded for the package.
    void replacePackageFiles(uint64_t pkgId, const std::vector<std::string>& files, uint32_t type);
    void recordFile(const std::string& path, uint64_t pkgId, uint32_t type);
    std::optional<PackageFile> packageFile(const std::string& path);
    bool anyPackageFile();

    std::optional<uint64_t> objectId(ObjectKind kind, const std::string& name);
    // False when the object was registered already.
    bool addObject(ObjectKind kind, const std::string& name, uint64_t oid);

    sqlite3* handle() { return db_.get(); }

private:
    Query query(const char* sql);
    void exec(const char* sql);
    void migrate();

    DatabasePtr db_;
    std::unordered_map<const char*, StatementPtr> statements_;  // by the address of their SQL constant
    bool inTransaction_ = false;
};

// The schema, shared with the benchmark that measures the store's baseline.
extern const char* const kSchemaMigrations[Store::kSchemaVersion];
// The pragmas every connection to the database runs with.
extern const char* const kStorePragmas;

}  // namespace zorvd
