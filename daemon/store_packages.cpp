// The store's packages and the files recorded for each.
#include "store.h"

namespace zorvd {

namespace {

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
const char* const kFilesInRange =
    "SELECT path, pkg_id, type, 0 FROM package_file WHERE path > ?1 AND path < ?2 ORDER BY path";
const char* const kPackagesWithFiles =
    "SELECT p.id, p.name, f.path, f.type FROM package p LEFT JOIN package_file f ON f.pkg_id = p.id"
    " ORDER BY p.id, f.path";
const char* const kPackageImport = "INSERT INTO package(id, name) VALUES(?1, ?2)";
const char* const kFileImport = "INSERT INTO package_file(path, pkg_id, type) VALUES(?1, ?2, ?3)";

}  // namespace

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

void Store::forEachPackageWithFiles(const std::function<void(uint64_t id, const std::string& name)>& package,
                                    const std::function<void(const std::string& path, uint32_t type)>& file) {
    Query q = query(kPackagesWithFiles);
    bool more = q.next();
    while (more) {
        const uint64_t id = q.number(0);
        package(id, q.text(1));
        for (; more && q.number(0) == id; more = q.next())
            if (!q.text(2).empty()) file(q.text(2), static_cast<uint32_t>(q.number(3)));  // no path is empty
    }
}

RowsInPathOrder Store::packageFilesInPathOrder() {
    return RowsInPathOrder(db_.get(), prepared(filesInPathOrder_, kFilesInRange), filesTaken_, -1);
}

bool Store::importPackage(uint64_t id, const std::string& name) {
    Query q = query(kPackageImport);
    q.bind(1, id).bind(2, name);
    return insertNew(q);
}

bool Store::importPackageFile(const std::string& path, uint64_t pkgId, uint32_t type) {
    Query q = query(kFileImport);
    q.bind(1, path).bind(2, pkgId).bind(3, uint64_t(type));
    return insertNew(q);
}

}  // namespace zorvd
