// The service's administration interface (root only), which the library does
// not offer: one private bus connection and blocking calls over it.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zorvtool {

class AdminClient {
public:
    // Throws Failure (exit 3) when the bus cannot be reached.
    AdminClient();

    using Message = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;
    // A call of the administration interface's `member`; fill it with
    // dbus_message_append_args or an iterator.
    static Message newCall(const char* member);
    // A call of the label interface itself, for what the library will not
    // send (an empty file list, which removes a package's files).
    static Message newLabelCall(const char* member);
    // Sends and waits; a D-Bus error becomes a Failure with a message for
    // people (access refused: exit 1; no service: exit 3).
    Message call(DBusMessage* message, int timeoutMs);

    // The same in two steps, for a call whose answer comes partly through a
    // pipe that the caller reads meanwhile: send() returns once the call has
    // left, wait() waits for its reply and fails as call() does.
    using Pending = std::unique_ptr<DBusPendingCall, void (*)(DBusPendingCall*)>;
    Pending send(DBusMessage* message, int timeoutMs);
    Message wait(Pending pending);

private:
    std::unique_ptr<DBusConnection, void (*)(DBusConnection*)> bus_;
};

}  // namespace zorvtool
