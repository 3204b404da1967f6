// A test's own connection to the label manager service (or the stand-in) on a private bus, and calls answered as
// text.
#pragma once

#include <dbus/dbus.h>

#include <memory>
#include <string>
#include <vector>

#include "wire_value.h"

namespace zorvtest {

// A private connection to the bus at `address` (by default the one named by DBUS_SYSTEM_BUS_ADDRESS, never the
// host's), made by whoever uses it: a forked child gets its own, as its own user.
class ServiceConnection {
public:
    using Reply = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;
    explicit ServiceConnection(const std::string& address = "");

    // A call of `member` of the service's `interface`, to send as the test likes.
    static Reply newCall(const char* interface, const std::string& member, const std::vector<WireValue>& args);
    // Calls `member` of the service's `interface`; on an error, returns null and puts the error's name in `error`
    // (and its text in `message`).
    Reply send(const char* interface, const std::string& member, const std::vector<WireValue>& args,
               std::string& error, std::string* message = nullptr);
    // One call to the service, answered as text: the reply's arguments as the stand-in renders them, or "error NAME"
    // for an error reply.
    std::string call(const std::string& member, const std::vector<WireValue>& args = {},
                     const char* interface = nullptr);
    DBusConnection* get() const { return connection_.get(); }

private:
    static void close(DBusConnection* c) { dbus_connection_close(c); dbus_connection_unref(c); }
    std::unique_ptr<DBusConnection, void (*)(DBusConnection*)> connection_{nullptr, close};
};

}  // namespace zorvtest
