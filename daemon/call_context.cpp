#include "call_context.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <stdexcept>


namespace zorvd {

namespace protocol = zorv::protocol;
namespace notice_key = zorv::protocol::notice_key;
using json = nlohmann::json;

AuditRecord auditEntry(const protocol::Member& member, const Caller& caller, ChangeRecord change,
                       std::string result) {
    AuditRecord entry;
    entry.uid = caller.uid;
    entry.pid = caller.pid;
    entry.member = member.name;
    entry.subject = std::move(change.subject);
    entry.oldValue = std::move(change.oldValue);
    entry.newValue = std::move(change.newValue);
    entry.result = std::move(result);
    return entry;
}

Clock::duration allowance(const protocol::Member& member) {
    auto limit = std::chrono::milliseconds(member.timeoutMs);
    return limit - std::min<std::chrono::milliseconds>(limit / 10, std::chrono::milliseconds(500));
}

namespace {

DBusMessage* checked(DBusMessage* m) {
    if (!m) throw std::bad_alloc();
    return m;
}

}  // namespace

LabelService::Call::Call(LabelService& service, Job& job, const Handler& handler)
    : reply(dbus_message_new_method_return(job.call.get())),
      in(job.call.get()),
      out(checked(reply.get())),
      caller(job.caller),
      service_(service),
      job_(job),
      handler_(handler) {}

void LabelService::Call::commit(const Change& change, bool applied) {
    ChangeRecord record;
    AuditRecord entry;
    {
        std::lock_guard<std::mutex> lock(service_.db_.writeLock());
        try {
            Store& writer = service_.db_.writer();
            Store::Transaction tx(writer);
            std::optional<Notice> notice = change(writer, record);
            claim();
            if (!claimed_ && !applied) throw Abandoned{};
            entry = auditEntry(*handler_.member, caller, std::move(record), "committed");
            service_.audit_.add(writer, entry);
            tx.commit();
            service_.audit_.committed();
            if (notice) service_.notifier_.publish(notice->topic, notice->payload);
        } catch (const NothingChanged& n) {
            service_.audit_.refused(auditEntry(*handler_.member, caller, std::move(record), "unchanged: " + n.reason));
            return;
        }
    }
    service_.audit_.announce(entry);
    if (!claimed_) throw Abandoned{};
}

void LabelService::Call::unchanged(const std::string& subject, const std::string& reason) {
    service_.audit_.refused(auditEntry(*handler_.member, caller, {subject, "", ""}, "unchanged: " + reason));
}

Notice LabelService::Call::notice(json payload) const {
    const char* topic = protocol::topicOf(member());
    if (!topic) throw std::logic_error(std::string(member()) + " publishes under no topic");
    payload[notice_key::kMember] = member();
    payload[notice_key::kUid] = caller.uid;
    return {topic, payload.dump(-1, ' ', false, json::error_handler_t::replace)};
}

}  // namespace zorvd
