// How a call refused on its merits is answered. A refusal of a value or path
// that is not valid, of nothing to find or of a caller who is not root is
// answered with the failure value of the member's reply where that reply can
// carry one, so that the library reports the service's failure (-1) rather
// than a call that could not be completed (-2). Everything else stays a
// D-Bus error.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>

#include "protocol/members.h"
#include "wire.h"

namespace zorvd {

// The numbers of the failure values: all bits set.
constexpr uint64_t kAllOnes64 = ~uint64_t(0);
constexpr uint32_t kAllOnes32 = ~uint32_t(0);

// The reply to `call` carrying `member`'s failure value for a refusal with
// the D-Bus error `error`, or null when that refusal stays an error or the
// member's reply type has no failure value (strings, arrays, dictionaries of
// records, and the administration interface).
MessagePtr failureReply(DBusMessage* call, const zorv::protocol::Member& member, const char* error);

}  // namespace zorvd
