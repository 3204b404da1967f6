#include "reply_check.h"

#include <new>
#include <string>

#include "log/log.h"

namespace zorvd {

MessagePtr checkedReply(MessagePtr reply, DBusMessage* call, const zorv::protocol::Member& member) {
    if (dbus_message_has_signature(reply.get(), member.out)) return reply;
    ZLOG_ERROR("%s: the reply written has the signature (%s), not (%s); an error is sent instead", member.name,
               dbus_message_get_signature(reply.get()), member.out);
    const std::string text =
        std::string(member.name) + " could not be answered: the service wrote a reply of the wrong type";
    MessagePtr error = errorReply(call, DBUS_ERROR_FAILED, text);
    if (!error) throw std::bad_alloc();
    return error;
}

}  // namespace zorvd
