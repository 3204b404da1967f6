#include "audit.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include <cstdio>
#include <string>

#include "log/log.h"

namespace zorvd {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr auto kAgePruneInterval = std::chrono::minutes(1);

// sd_journal_send reports success when no journal listens, so its socket
// tells whether one runs.
const char* const kJournalSocket = "/run/systemd/journal/socket";

int64_t nowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string shown(const std::string& value) { return value.empty() ? "-" : value; }

bool journalRunning() {
    struct stat st;
    return ::stat(kJournalSocket, &st) == 0 && S_ISSOCK(st.st_mode);
}

// One line of the log, whatever a caller's path holds: control characters
// and backslashes escaped, so that no path can end a line and forge the next.
std::string oneLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            out += code;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::size_t kindIndex(uint32_t uid) { return static_cast<std::size_t>(auditKind(uid)); }

}  // namespace

std::string auditSubject(const std::string& text, std::size_t limit) {
    if (text.size() <= limit) return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return text.substr(0, cut) + " [cut from " + std::to_string(text.size()) + " bytes]";
}

AuditTrail::AuditTrail(Database& db, const Limits& limits) : db_(db), limits_(limits) {
    std::lock_guard<std::mutex> lock(db_.writeLock());
    for (AuditKind kind : {AuditKind::Root, AuditKind::Others})
        entries_[static_cast<std::size_t>(kind)] = db_.writer().auditEntries(kind);
}

void AuditTrail::add(Store& writer, AuditRecord& record) {
    const int64_t now = nowUs();
    if (record.timeUs == 0) record.timeUs = now;
    pending_[0] = pending_[1] = 0;
    pendingAnnounce_.clear();
    std::vector<AuditRecord> kept;
    {
        std::lock_guard<std::mutex> lock(keptMutex_);
        kept = kept_;
        pendingDropped_ = dropped_;
    }
    pendingKept_ = kept.size();
    if (pendingDropped_ > 0) {
        AuditRecord summary;
        summary.timeUs = now;
        summary.member = "-";
        summary.result = std::to_string(pendingDropped_) + " more refused or failed calls not recorded";
        kept.push_back(std::move(summary));
    }
    for (AuditRecord& r : kept) {
        writer.addAudit(r);
        ++pending_[kindIndex(r.uid)];
        pendingAnnounce_.push_back(std::move(r));
    }
    if (!record.member.empty()) {
        writer.addAudit(record);
        ++pending_[kindIndex(record.uid)];
    }
    prune(writer, now);
}

void AuditTrail::prune(Store& writer, int64_t now) {
    for (AuditKind kind : {AuditKind::Root, AuditKind::Others}) {
        const std::size_t k = static_cast<std::size_t>(kind);
        const uint64_t limit = kind == AuditKind::Root ? limits_.maxEntries : limits_.maxRefusals;
        const int64_t held = static_cast<int64_t>(entries_[k]) + pending_[k];
        if (held > static_cast<int64_t>(limit))
            pending_[k] -= static_cast<int64_t>(writer.dropOldestAudit(kind, uint64_t(held) - limit));
    }
    const auto steadyNow = SteadyClock::now();
    if (steadyNow < nextAgePrune_) return;
    nextAgePrune_ = steadyNow + kAgePruneInterval;
    const int64_t oldest = now - limits_.maxAgeDays * 86400LL * 1000000;
    for (AuditKind kind : {AuditKind::Root, AuditKind::Others})
        pending_[static_cast<std::size_t>(kind)] -= static_cast<int64_t>(writer.dropAuditBefore(kind, oldest));
}

void AuditTrail::committed() {
    for (std::size_t k = 0; k < 2; ++k) {
        entries_[k] = static_cast<uint64_t>(static_cast<int64_t>(entries_[k]) + pending_[k]);
        pending_[k] = 0;
    }
    {
        std::lock_guard<std::mutex> lock(keptMutex_);
        kept_.erase(kept_.begin(), kept_.begin() + static_cast<std::ptrdiff_t>(pendingKept_));
        dropped_ -= pendingDropped_;
    }
    pendingKept_ = 0;
    pendingDropped_ = 0;
    std::vector<AuditRecord> written;
    written.swap(pendingAnnounce_);
    for (const AuditRecord& r : written) announce(r);
}

void AuditTrail::announce(const AuditRecord& r) {
    const bool committed = r.result == "committed";
    std::string message = "uid " + std::to_string(r.uid) + " (pid " + std::to_string(r.pid) + ") " + r.member + " " +
                          shown(r.subject) + ": " + r.result;
    if (committed) message += ", " + shown(r.oldValue) + " -> " + shown(r.newValue);
    if (journalRunning() &&
        sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", committed ? LOG_NOTICE : LOG_WARNING,
                        "SYSLOG_IDENTIFIER=zorv-labelmgrd", "ZORV_MEMBER=%s", r.member.c_str(), "ZORV_UID=%u", r.uid,
                        "ZORV_PID=%u", r.pid, "ZORV_SUBJECT=%s", r.subject.c_str(), "ZORV_OLD=%s", r.oldValue.c_str(),
                        "ZORV_NEW=%s", r.newValue.c_str(), "ZORV_RESULT=%s", r.result.c_str(), nullptr) >= 0)
        return;
    const std::string line = oneLine(message);
    if (committed)
        ZLOG_INFO("audit: %s", line.c_str());
    else
        ZLOG_WARN("audit: %s", line.c_str());
}

bool AuditTrail::admit(uint32_t uid, uint32_t pid, const char* member) {
    const auto now = SteadyClock::now();
    std::lock_guard<std::mutex> lock(keptMutex_);
    Rate& rate = rates_[uid];
    if (rate.recorded == 0) {
        rate.since = now;
    } else if (now - rate.since >= kRefusalInterval) {
        closeRateLocked(uid, rate);
        rate = Rate{};
        rate.since = now;
    }
    if (rate.recorded < kRefusalsPerInterval) {
        ++rate.recorded;
        return true;
    }
    ++rate.counted;
    rate.pid = pid;
    rate.member = member;
    return false;
}

void AuditTrail::closeRateLocked(uint32_t uid, const Rate& rate) {
    if (rate.counted == 0) return;
    AuditRecord summary;
    summary.timeUs = nowUs();
    summary.uid = uid;
    summary.pid = rate.pid;
    summary.member = "-";
    summary.result = "refused: " + std::to_string(rate.counted) + " more calls in " +
                     std::to_string(kRefusalInterval.count()) + " s (the last " + rate.member +
                     "), not recorded one by one";
    keepLocked(std::move(summary));
}

void AuditTrail::refused(AuditRecord record) {
    record.timeUs = nowUs();
    std::lock_guard<std::mutex> lock(keptMutex_);
    keepLocked(std::move(record));
}

void AuditTrail::keepLocked(AuditRecord record) {
    if (kept_.size() >= kMaxKept) {
        ++dropped_;
        return;
    }
    kept_.push_back(std::move(record));
}

void AuditTrail::flush(bool closing) {
    {
        const auto now = SteadyClock::now();
        std::lock_guard<std::mutex> lock(keptMutex_);
        for (auto it = rates_.begin(); it != rates_.end();) {
            if (!closing && now - it->second.since < kRefusalInterval) {
                ++it;
                continue;
            }
            closeRateLocked(it->first, it->second);
            it = rates_.erase(it);
        }
        if (kept_.empty() && dropped_ == 0) return;
    }
    try {
        std::lock_guard<std::mutex> lock(db_.writeLock());
        Store::Transaction tx(db_.writer());
        AuditRecord none;
        add(db_.writer(), none);
        tx.commit();
        committed();
        if (failing_) ZLOG_INFO("audit entries of refused or failed calls written again");
        failing_ = false;
    } catch (const std::exception& e) {
        if (!failing_)
            ZLOG_ERROR("audit entries of refused or failed calls not written (kept for the next write): %s", e.what());
        failing_ = true;
    }
}

}  // namespace zorvd
