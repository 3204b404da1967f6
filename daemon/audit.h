// The audit trail: every changing call, committed or refused, with its time,
// the caller's uid and pid, the member, what it named, and for a committed
// change the old and the new value. Kept in the store (bounded by age and
// count; read by root through the administration interface) and sent to the
// system journal as structured fields, or to the service's log where no
// journal runs.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "database.h"

namespace zorvd {

class AuditTrail {
public:
    struct Limits {
        int64_t maxAgeDays = 365;
        uint64_t maxEntries = 1000000;
    };
    AuditTrail(Database& db, const Limits& limits) : db_(db), limits_(limits) {}

    // Within the writer's transaction of a change: its entry, stamped now.
    void add(Store& writer, AuditRecord& record);
    // After the change's commit: the entry to the journal (or the log).
    void announce(const AuditRecord& record);
    // A refused or failed call: kept and written with the next change, or
    // within a second (flush). Cheap, for the serving thread too.
    void refused(AuditRecord record);
    // Writes what refused() kept and drops entries past the limits; takes
    // the write lock. Never throws.
    void flush();

private:
    void writeKeptLocked(Store& writer);

    Database& db_;
    const Limits limits_;
    std::mutex keptMutex_;
    std::vector<AuditRecord> kept_;
    uint64_t dropped_ = 0;  // refusals beyond what is kept, told as one entry
    uint64_t addedSincePrune_ = 0;
};

}  // namespace zorvd
