#include "failure_replies.h"

#include <cstring>
#include <new>
#include <string>

namespace zorvd {

namespace protocol = zorv::protocol;

namespace {

// Statuses of the bulk members, which their callers get unchanged: besides 0
// and 1 (nothing changed, for the member's own reason), a refusal.
constexpr int32_t kBulkInvalid = 2, kBulkNotRoot = 3;

bool isBulk(const protocol::Member& m) {
    return &m == &protocol::setLabelForPkg || &m == &protocol::setLabelForLunvexInterpreter ||
           &m == &protocol::setLabelForDrovaInterpreter || &m == &protocol::setLabelForDrovaBaseFiles;
}

bool answeredWithValue(const char* error) {
    return std::strcmp(error, DBUS_ERROR_INVALID_ARGS) == 0 || std::strcmp(error, kErrorNotFound) == 0 ||
           std::strcmp(error, DBUS_ERROR_ACCESS_DENIED) == 0;
}

}  // namespace

MessagePtr failureReply(DBusMessage* call, const protocol::Member& member, const char* error) {
    if (!answeredWithValue(error)) return nullptr;
    // The administration interface keeps its errors: its caller is the tool,
    // which tells them apart for people.
    for (const protocol::Member* admin : protocol::admin::kMembers)
        if (admin == &member) return nullptr;
    const std::string out = member.out;
    const bool identifier = &member == &protocol::getFileOid || &member == &protocol::getFileSid;
    if (out != "i" && out != "u" && out != "t" && !identifier) return nullptr;
    MessagePtr reply(dbus_message_new_method_return(call));
    if (!reply) throw std::bad_alloc();
    Writer w(reply.get());
    if (isBulk(member))
        w.i32(std::strcmp(error, DBUS_ERROR_ACCESS_DENIED) == 0 ? kBulkNotRoot : kBulkInvalid);
    else if (out == "i")
        w.i32(-1);
    else if (out == "u")
        w.u32(kAllOnes32);
    else if (out == "t")
        w.u64(kAllOnes64);
    else
        w.id({kAllOnes64, kAllOnes64, kAllOnes64});
    return reply;
}

}  // namespace zorvd
