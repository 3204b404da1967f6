#include "audit.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

#include <chrono>
#include <string>

#include "log/log.h"

namespace zorvd {

namespace {

// A flood of refused calls costs memory only up to here; the rest is counted.
constexpr std::size_t kMaxKept = 10000;
constexpr uint64_t kPruneEvery = 1000;

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string shown(const std::string& value) { return value.empty() ? "-" : value; }

}  // namespace

void AuditTrail::add(Store& writer, AuditRecord& record) {
    if (record.timeUs == 0) record.timeUs = nowUs();
    writeKeptLocked(writer);
    writer.addAudit(record);
    if (++addedSincePrune_ >= kPruneEvery) {
        addedSincePrune_ = 0;
        writer.pruneAudit(record.timeUs - limits_.maxAgeDays * 86400LL * 1000000, limits_.maxEntries);
    }
}

void AuditTrail::announce(const AuditRecord& r) {
    const bool committed = r.result == "committed";
    std::string message = "uid " + std::to_string(r.uid) + " (pid " + std::to_string(r.pid) + ") " + r.member + " " +
                          shown(r.subject) + ": " + r.result;
    if (committed) message += ", " + shown(r.oldValue) + " -> " + shown(r.newValue);
    int rc = sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", committed ? LOG_NOTICE : LOG_WARNING,
                             "SYSLOG_IDENTIFIER=zorv-labelmgrd", "ZORV_MEMBER=%s", r.member.c_str(), "ZORV_UID=%u",
                             r.uid, "ZORV_PID=%u", r.pid, "ZORV_SUBJECT=%s", r.subject.c_str(), "ZORV_OLD=%s",
                             r.oldValue.c_str(), "ZORV_NEW=%s", r.newValue.c_str(), "ZORV_RESULT=%s",
                             r.result.c_str(), nullptr);
    if (rc < 0) {
        if (committed)
            ZLOG_INFO("audit: %s", message.c_str());
        else
            ZLOG_WARN("audit: %s", message.c_str());
    }
}

void AuditTrail::refused(AuditRecord record) {
    record.timeUs = nowUs();
    std::lock_guard<std::mutex> lock(keptMutex_);
    if (kept_.size() >= kMaxKept) {
        ++dropped_;
        return;
    }
    kept_.push_back(std::move(record));
}

void AuditTrail::writeKeptLocked(Store& writer) {
    std::vector<AuditRecord> kept;
    uint64_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(keptMutex_);
        kept.swap(kept_);
        std::swap(dropped, dropped_);
    }
    if (dropped > 0) {
        AuditRecord summary;
        summary.timeUs = nowUs();
        summary.member = "-";
        summary.result = std::to_string(dropped) + " more refused calls not recorded";
        kept.push_back(std::move(summary));
    }
    for (const AuditRecord& r : kept) {
        writer.addAudit(r);
        announce(r);
    }
    addedSincePrune_ += kept.size();
}

void AuditTrail::flush() {
    {
        std::lock_guard<std::mutex> lock(keptMutex_);
        if (kept_.empty() && dropped_ == 0) return;
    }
    try {
        std::lock_guard<std::mutex> lock(db_.writeLock());
        Store::Transaction tx(db_.writer());
        writeKeptLocked(db_.writer());
        tx.commit();
    } catch (const std::exception& e) {
        ZLOG_ERROR("audit entries of refused calls lost: %s", e.what());
    }
}

}  // namespace zorvd
