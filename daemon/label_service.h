// The label manager service: answers every member of the interface from the
// store, lets only root change anything, commits each change before it
// answers and then announces it, and records every changing call in the
// audit trail. The serving thread only reads calls and routes them; the work,
// file-system work included, runs on the scheduler's workers.
#pragma once

#include <dbus/dbus.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "audit.h"
#include "bus.h"
#include "bus_credentials.h"
#include "database.h"
#include "notifier.h"
#include "protocol/members.h"
#include "scheduler.h"
#include "wire.h"

namespace zorvd {

// What a committed change announces: the topic it is published under and
// the payload (a JSON object).
struct Notice {
    std::string topic, payload;
};

class LabelService {
public:
    // Throws std::logic_error when a member of the interface has no handler.
    LabelService(Database& db, Notifier& notifier, Outbox& bus, AuditTrail& audit,
                 const Scheduler::Limits& limits = Scheduler::Limits());
    ~LabelService();

    // Takes one incoming message on the serving thread; never throws.
    void handle(DBusMessage* message);
    // Stops the workers; false when one is held up (see Scheduler::stop).
    bool stop(std::chrono::milliseconds grace) { return scheduler_->stop(grace); }

    class Call;  // call_context.h

private:
    enum class Access { Everyone, Root };
    using Body = std::function<void(Call&)>;
    struct Handler {
        const zorv::protocol::Member* member;
        Access access;
        Body body;
    };

    void add(const zorv::protocol::Member& member, Access access, Body body);
    void addAdmin(const zorv::protocol::Member& member, Body body);
    // The handlers by family, each in a file of its own.
    void addAttributeFamilies();  // attribute_calls.cpp
    void addLookups();            // lookup_calls.cpp
    void addRestores();           // restore_calls.cpp
    void addBulkAndPolicies();    // package_calls.cpp
    void addAdministration();     // admin_calls.cpp
    void addTransfers();          // transfer_calls.cpp

    // The serving thread's part of a call: checks, then hands it to a worker.
    void route(MessagePtr call);
    void dispatch(MessagePtr call, const Handler& handler, const Caller& caller);
    // A worker's part: runs the handler and answers.
    void run(Job& job, const Handler& handler);
    void refuse(DBusMessage* call, const Handler& handler, const Caller& caller, const char* error,
                const std::string& text);

    Database& db_;
    Notifier& notifier_;
    Outbox& bus_;
    AuditTrail& audit_;
    std::map<std::string, Handler> handlers_, adminHandlers_;
    CallerDirectory callers_;
    // Calls whose caller's identity the bus has not told yet, by sender.
    std::unordered_map<std::string, std::vector<MessagePtr>> awaiting_;
    std::unique_ptr<Scheduler> scheduler_;  // last: its threads use the rest
};

}  // namespace zorvd
