// The serving thread's part of every call (who the caller is, whether the
// call is theirs to make, which worker runs it) and the answer a worker sends,
// whatever came of the call. The handlers are in the *_calls.cpp files.
#include "label_service.h"

#include <cstring>
#include <stdexcept>

#include "call_context.h"
#include "failure_replies.h"
#include "log/log.h"
#include "protocol/interface_xml.h"
#include "reply_check.h"

namespace zorvd {

namespace protocol = zorv::protocol;

namespace {

// The first string argument of a call, for the audit entry of a refusal or
// failure: at most `limit` bytes of it.
std::string firstString(DBusMessage* call, std::size_t limit) {
    DBusMessageIter it;
    if (!dbus_message_iter_init(call, &it)) return "";
    do {
        if (dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_STRING) {
            const char* s = nullptr;
            dbus_message_iter_get_basic(&it, &s);
            return auditSubject(s ? s : "", limit);
        }
    } while (dbus_message_iter_next(&it));
    return "";
}

}  // namespace

LabelService::LabelService(Database& db, Notifier& notifier, Outbox& bus, AuditTrail& audit,
                           const Scheduler::Limits& limits)
    : db_(db), notifier_(notifier), bus_(bus), audit_(audit), callers_(bus) {
    addAttributeFamilies();
    addLookups();
    addRestores();
    addBulkAndPolicies();
    addAdministration();
    addTransfers();
    for (const protocol::Member* m : protocol::kMembers)
        if (!handlers_.count(m->name)) throw std::logic_error(std::string("no handler for ") + m->name);
    for (const protocol::Member* m : protocol::admin::kMembers)
        if (!adminHandlers_.count(m->name)) throw std::logic_error(std::string("no handler for ") + m->name);
    auto expire = [this](Job& job) {
        if (dbus_message_get_no_reply(job.call.get())) return;
        const char* member = dbus_message_get_member(job.call.get());
        bus_.post(errorReply(job.call.get(), DBUS_ERROR_TIMEOUT,
                             std::string(member ? member : "the call") + " did not finish in the time it is allowed"));
    };
    scheduler_ = std::make_unique<Scheduler>(limits, expire, [this] { audit_.flush(); });
}

LabelService::~LabelService() = default;

void LabelService::add(const protocol::Member& member, Access access, Body body) {
    if (!handlers_.emplace(member.name, Handler{&member, access, std::move(body)}).second)
        throw std::logic_error(std::string("two handlers for ") + member.name);
}

void LabelService::addAdmin(const protocol::Member& member, Body body) {
    if (!adminHandlers_.emplace(member.name, Handler{&member, Access::Root, std::move(body)}).second)
        throw std::logic_error(std::string("two handlers for ") + member.name);
}

void LabelService::handle(DBusMessage* message) {
    try {
        const int type = dbus_message_get_type(message);
        if (type == DBUS_MESSAGE_TYPE_METHOD_RETURN || type == DBUS_MESSAGE_TYPE_ERROR) {
            auto told = callers_.take(message);
            if (!told) return;
            auto waiting = awaiting_.find(told->first);
            if (waiting == awaiting_.end()) return;
            std::vector<MessagePtr> calls = std::move(waiting->second);
            awaiting_.erase(waiting);
            if (!told->second) return;  // the caller has left: nobody to answer
            for (MessagePtr& call : calls) route(std::move(call));
            return;
        }
        if (type != DBUS_MESSAGE_TYPE_METHOD_CALL) return;
        route(MessagePtr(dbus_message_ref(message)));
    } catch (const std::exception& e) {
        const char* member = dbus_message_get_member(message);
        ZLOG_ERROR("%s not answered: %s", member ? member : "?", e.what());
    }
}

void LabelService::route(MessagePtr owned) {
    DBusMessage* call = owned.get();
    const char* iface = dbus_message_get_interface(call);
    const char* member = dbus_message_get_member(call);
    auto fail = [&](const char* name, const std::string& text) {
        if (!dbus_message_get_no_reply(call)) bus_.send(errorReply(call, name, text));
    };
    if (std::strcmp(dbus_message_get_path(call), protocol::kObjectPath) != 0)
        return fail(DBUS_ERROR_UNKNOWN_OBJECT, "no such object");
    if (iface && std::strcmp(iface, DBUS_INTERFACE_INTROSPECTABLE) == 0 && std::strcmp(member, "Introspect") == 0) {
        MessagePtr reply(dbus_message_new_method_return(call));
        if (!reply) throw std::bad_alloc();
        Writer(reply.get()).string(protocol::introspectionXml(true));
        bus_.send(std::move(reply));
        return;
    }
    const bool admin = iface && std::strcmp(iface, protocol::kAdminInterface) == 0;
    if (iface && !admin && std::strcmp(iface, protocol::kInterface) != 0)
        return fail(DBUS_ERROR_UNKNOWN_INTERFACE, std::string("no interface ") + iface);
    const auto& table = admin ? adminHandlers_ : handlers_;
    auto found = table.find(member);
    if (found == table.end()) return fail(DBUS_ERROR_UNKNOWN_METHOD, std::string("no method ") + member);
    const Handler& handler = found->second;
    const char* expected = handler.member->in;
    if (!dbus_message_has_signature(call, expected))
        return fail(DBUS_ERROR_INVALID_ARGS, std::string(member) + " takes (" + expected + "), not (" +
                                                 dbus_message_get_signature(call) + ")");
    const char* sender = dbus_message_get_sender(call);
    if (!sender) return fail(DBUS_ERROR_ACCESS_DENIED, "the caller has no name on the bus");
    if (const Caller* caller = callers_.find(sender)) return dispatch(std::move(owned), handler, *caller);
    // Held until the bus tells who the caller is; a caller who sends more
    // than a few calls before that is not waited for.
    std::vector<MessagePtr>& waiting = awaiting_[sender];
    if (waiting.size() >= 16) return fail(DBUS_ERROR_LIMITS_EXCEEDED, "too many calls at once");
    waiting.push_back(std::move(owned));
    callers_.request(sender);
}

// On the serving thread, for a caller other than root: what it costs is
// bounded per user (the audit trail's rate), not by how often they ask.
void LabelService::refuse(DBusMessage* call, const Handler& handler, const Caller& caller, const char* error,
                          const std::string& text) {
    if (audit_.admit(caller.uid, caller.pid, handler.member->name)) {
        audit_.refused(auditEntry(*handler.member, caller, {firstString(call, kMaxRefusedSubject), "", ""},
                                  "refused: " + text));
    }
    if (dbus_message_get_no_reply(call)) return;
    MessagePtr answer = failureReply(call, *handler.member, error);
    if (answer) answer = checkedReply(std::move(answer), call, *handler.member);
    bus_.send(answer ? std::move(answer) : errorReply(call, error, text));
}

void LabelService::dispatch(MessagePtr call, const Handler& handler, const Caller& caller) {
    if (handler.access == Access::Root && !caller.root()) {
        return refuse(call.get(), handler, caller, DBUS_ERROR_ACCESS_DENIED,
                      std::string(handler.member->name) + " changes labels: root only");
    }
    auto job = std::make_shared<Job>();
    job->deadline = Clock::now() + allowance(*handler.member);
    job->caller = caller;
    job->call = std::move(call);
    job->work = [this, &handler](Job& j) { run(j, handler); };
    if (!scheduler_->submit(job)) {
        DBusMessage* m = job->call.get();
        if (!dbus_message_get_no_reply(m))
            bus_.send(errorReply(m, DBUS_ERROR_LIMITS_EXCEEDED, "too many calls of this user at once; try again"));
    }
}

void LabelService::run(Job& job, const Handler& handler) {
    DBusMessage* call = job.call.get();
    const char* error = nullptr;
    std::string text;
    std::unique_ptr<Call> c;
    try {
        c = std::make_unique<Call>(*this, job, handler);
        handler.body(*c);
        if (!c->claim()) return;  // answered already: the deadline passed
        if (!dbus_message_get_no_reply(call)) bus_.post(checkedReply(std::move(c->reply), call, *handler.member));
        return;
    } catch (const Call::Abandoned&) {
        return;
    } catch (const CallError& e) {
        error = e.name;
        text = e.what();
    } catch (const StoreError& e) {
        ZLOG_ERROR("%s failed in the store: %s", handler.member->name, e.what());
        error = DBUS_ERROR_FAILED;
        text = std::string("the label store failed: ") + e.what() + " (" + db_.path() + ")";
    } catch (const std::bad_alloc&) {
        error = DBUS_ERROR_NO_MEMORY;
        text = "out of memory";
    } catch (const std::exception& e) {
        ZLOG_ERROR("%s failed: %s", handler.member->name, e.what());
        error = DBUS_ERROR_FAILED;
        text = e.what();
    }
    const bool mine = c ? c->claim() : job.claim();
    if (!mine) return;
    if (handler.access == Access::Root) {
        audit_.refused(
            auditEntry(*handler.member, job.caller, {firstString(call, kMaxAuditSubject), "", ""}, "failed: " + text));
    }
    if (dbus_message_get_no_reply(call)) return;
    MessagePtr answer;
    try {
        answer = failureReply(call, *handler.member, error);
        if (answer) answer = checkedReply(std::move(answer), call, *handler.member);
    } catch (const std::bad_alloc&) {
    }
    bus_.post(answer ? std::move(answer) : errorReply(call, error, text));
}

}  // namespace zorvd
