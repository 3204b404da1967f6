// One call as a handler sees it, on a worker thread: its arguments, its reply
// as it is written, the caller, the worker's reading connection, and the one
// way to change the store, which orders the transaction, the call's audit
// entry and its notice. Also the audit entry of a call, made in one place for
// every outcome, and how long a call may take.
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>

#include "label_service.h"
#include "protocol/notifications.h"

namespace zorvd {

// What a change tells the audit trail of itself: what it named, and the old
// and the new value in the tool's forms (or counts).
struct ChangeRecord {
    std::string subject, oldValue, newValue;
};

// The audit entry of a call of `member` by `caller`, whatever came of it
// ("committed", "unchanged: ...", "refused: ...", "failed: ...").
AuditRecord auditEntry(const zorv::protocol::Member& member, const Caller& caller, ChangeRecord change,
                       std::string result);

// How long a call may take from its arrival to its answer: the member's own
// time limit, less a margin so that the caller hears from the service before
// its own timeout strikes.
Clock::duration allowance(const zorv::protocol::Member& member);

class LabelService::Call {
public:
    Call(LabelService& service, Job& job, const Handler& handler);

    MessagePtr reply;
    Reader in;
    Writer out;
    const Caller& caller;

    Store& store() { return service_.db_.reader(); }
    const char* member() const { return handler_.member->name; }
    // When the call is answered with a timeout if it has not been by then.
    Clock::time_point deadline() const { return job_.deadline; }

    // Runs `change` on the writer in one transaction (it writes the reply and
    // fills in what the audit entry tells of the change), then commits it
    // with its audit entry and publishes its notice, in commit order.
    // `applied`: the change took effect outside the store already (a label
    // written to a file), so it is recorded even when its caller was answered
    // meanwhile.
    using Change = std::function<std::optional<Notice>(Store&, ChangeRecord&)>;
    void commit(const Change& change, bool applied = false);

    // Thrown by a change that answers (its reply is written) but changes
    // nothing: the transaction is rolled back and the call recorded as such.
    struct NothingChanged {
        std::string reason;
    };
    // Thrown once a change was abandoned: its deadline passed and the caller
    // was answered.
    struct Abandoned {};

    // A call that answers without changing anything, recorded as such.
    void unchanged(const std::string& subject, const std::string& reason);

    // Whether this worker answers the call (rather than the watchdog).
    bool claim() {
        if (!claimed_) claimed_ = job_.claim();
        return claimed_;
    }

    // A notice of this call's change, with the caller's uid, under the topic
    // of the call's member.
    Notice notice(nlohmann::json payload) const;

private:
    LabelService& service_;
    Job& job_;
    const Handler& handler_;
    bool claimed_ = false;
};

}  // namespace zorvd
