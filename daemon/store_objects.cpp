// The store's devices and kernel modules with their object identifiers.
#include "store.h"

namespace zorvd {

namespace {

const char* const kObjectGet = "SELECT oid FROM system_object WHERE kind = ?1 AND name = ?2";
const char* const kObjectAdd = "INSERT OR IGNORE INTO system_object(kind, name, oid) VALUES(?1, ?2, ?3)";
const char* const kObjectsByName = "SELECT name, oid FROM system_object WHERE kind = ?1 ORDER BY name";
const char* const kObjectImport = "INSERT INTO system_object(kind, name, oid) VALUES(?1, ?2, ?3)";

uint64_t code(ObjectKind k) { return static_cast<uint64_t>(k); }

}  // namespace

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

void Store::forEachObject(ObjectKind kind, const std::function<void(const std::string& name, uint64_t oid)>& each) {
    Query q = query(kObjectsByName);
    q.bind(1, code(kind));
    while (q.next()) each(q.text(0), q.number(1));
}

bool Store::importObject(ObjectKind kind, const std::string& name, uint64_t oid) {
    Query q = query(kObjectImport);
    q.bind(1, code(kind)).bind(2, name).bind(3, oid);
    return insertNew(q);
}

}  // namespace zorvd
