// The store's side of the audit trail: its table of entries.
#include "audit.h"
#include "store.h"

namespace zorvd {

namespace {

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


}  // namespace

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
