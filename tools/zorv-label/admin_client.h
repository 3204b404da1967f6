// The service's administration interface (root only), which the library does
// not offer: one private bus connection and blocking calls over it. The calls
// themselves are made with Call<member> (service_call.h).
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
