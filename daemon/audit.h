// The audit trail: every changing call, committed or refused, with its time,
// the caller's uid and pid, the member, what it named, and for a committed
// change the old and the new value. Kept in the store (bounded by age and
// count; read by root through the administration interface) and sent to the
// system journal as structured fields, or to the service's log where no
// journal runs.
//
// Other users cannot change anything, but they can ask as often as they like:
// what their refused calls cost is theirs to bear. Each user gets entries of
// their own up to a rate, beyond which their refusals are only counted and
// one entry per interval says how many; an entry keeps a short subject; and
// their entries are bounded apart from root's, so that they never evict a
// committed change or anything root did.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "database.h"

namespace zorvd {

// One entry of the audit trail: who asked for which change, and what came of it.
struct AuditRecord {
    uint64_t id = 0;      // given by the store
    int64_t timeUs = 0;   // microseconds since the epoch
    uint32_t uid = 0, pid = 0;
    std::string member, subject, oldValue, newValue, result;
};

// The trail keeps two kinds of entries within bounds of their own: root's
// (every committed change among them) and those of other users (their
// refused calls), so that the one never evicts the other.
enum class AuditKind { Root, Others };
inline AuditKind auditKind(uint32_t uid) { return uid == 0 ? AuditKind::Root : AuditKind::Others; }

// Longest subject an entry keeps of the first argument of a refused or failed
// call: any path, for root's; a short one for other users'.
constexpr std::size_t kMaxAuditSubject = 4096;
constexpr std::size_t kMaxRefusedSubject = 256;

// `text` cut to at most `limit` bytes at a character boundary; when cut,
// marked so with " [cut from N bytes]" after it.
std::string auditSubject(const std::string& text, std::size_t limit);

class AuditTrail {
public:
    struct Limits {
        int64_t maxAgeDays = 365;
        uint64_t maxEntries = 1000000;   // root's entries: every committed change and root's failures
        uint64_t maxRefusals = 100000;   // other users' refused calls
    };
    // A user's refused calls that get an entry of their own, per interval.
    static constexpr unsigned kRefusalsPerInterval = 20;
    static constexpr std::chrono::seconds kRefusalInterval{10};
    // Entries waiting in memory for the next write, at most; beyond, counted.
    static constexpr std::size_t kMaxKept = 10000;

    // Reads how many entries of each kind the store holds.
    AuditTrail(Database& db, const Limits& limits);

    // Within the writer's transaction of a change: its entry, stamped now,
    // the entries kept since the last commit before it, and the oldest
    // entries past the limits dropped.
    void add(Store& writer, AuditRecord& record);
    // Once the transaction add() wrote into has committed (write lock still
    // held): the kept entries it wrote are let go and sent to the journal.
    // Until then they stay kept, for the next commit that succeeds.
    void committed();
    // After the change's commit: its entry to the journal (or the log).
    void announce(const AuditRecord& record);

    // A call of `uid` refused before it ran: whether it gets an entry of its
    // own (then hand that to refused()); beyond the user's rate it is only
    // counted. Cheap: the serving thread asks for every refusal.
    bool admit(uint32_t uid, uint32_t pid, const char* member);
    // A refused, failed or unchanged call: kept, and written with the next
    // change or within a second (flush). Cheap, for the serving thread too.
    void refused(AuditRecord record);
    // Writes what refused() kept, and the counts of refusals past their
    // rate whose interval is over (with `closing`, every count: the service
    // stops); takes the write lock. Never throws: what cannot be written
    // stays kept.
    void flush(bool closing = false);

private:
    struct Rate {
        std::chrono::steady_clock::time_point since;
        unsigned recorded = 0;
        uint64_t counted = 0;  // past the rate
        uint32_t pid = 0;      // of the last one counted
        std::string member;
    };
    void keepLocked(AuditRecord record);
    void closeRateLocked(uint32_t uid, const Rate& rate);
    void prune(Store& writer, int64_t nowUs);

    Database& db_;
    const Limits limits_;

    std::mutex keptMutex_;  // guards kept_, dropped_ and rates_
    std::vector<AuditRecord> kept_;
    uint64_t dropped_ = 0;  // entries beyond kMaxKept, told as one entry
    std::unordered_map<uint32_t, Rate> rates_;

    // The writer's side, under the write lock: entries in the store, and what
    // the transaction in hand wrote, taken into account once it commits.
    uint64_t entries_[2] = {0, 0};  // by AuditKind
    int64_t pending_[2] = {0, 0};
    std::size_t pendingKept_ = 0;
    std::vector<AuditRecord> pendingAnnounce_;  // the kept entries written, for the journal
    uint64_t pendingDropped_ = 0;
    std::chrono::steady_clock::time_point nextAgePrune_{};
    bool failing_ = false;  // the last flush failed: said once, not every second
};

}  // namespace zorvd
