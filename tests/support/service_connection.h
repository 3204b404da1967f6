// A test's own connection to the service (or the stand-in) on a private bus, and calls answered as text.
#pragma once

#include <dbus/dbus.h>

#include <memory>
#include <string>
#include <vector>

#include "wire_value.h"

namespace zorvtest {

// A private connection to the bus at `address` (DBUS_SYSTEM_BUS_ADDRESS's by default): a forked child gets its own.
class ServiceConnection {
public:
    using Reply = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;
    explicit ServiceConnection(const std::string& address = "");

    // A call of `member` of the service's `interface`, to send as the test likes.
    static Reply newCall(const char* interface, const std::string& member, const std::vector<WireValue>& args);
    // Calls `member`; on an error, null, and the error's name in `error` (its text in `message`).
    Reply send(const char* interface, const std::string& member, const std::vector<WireValue>& args,
               std::string& error, std::string* message = nullptr);
    // The reply's arguments as the stand-in renders them, or "error NAME".
    std::string call(const std::string& member, const std::vector<WireValue>& args = {},
                     const char* interface = nullptr);
    DBusConnection* get() const { return connection_.get(); }

private:
    static void close(DBusConnection* c) { dbus_connection_close(c); dbus_connection_unref(c); }
    std::unique_ptr<DBusConnection, void (*)(DBusConnection*)> connection_{nullptr, close};
};

}  // namespace zorvtest
