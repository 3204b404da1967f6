// The last gate before a reply leaves the service: its arguments must have
// the out-signature the member table gives the member, or a caller (the
// library, which reads replies by their declared types) would misread it.
#pragma once

#include <dbus/dbus.h>

#include "protocol/members.h"
#include "wire.h"

namespace zorvd {

// `reply` when its arguments have `member`'s out-signature. Otherwise the
// mismatch is logged and an error reply to `call` (org.freedesktop.DBus.Error
// .Failed) takes its place: a reply of the wrong shape is never sent.
MessagePtr checkedReply(MessagePtr reply, DBusMessage* call, const zorv::protocol::Member& member);

}  // namespace zorvd
