// The service's own connection to the bus: opened, registered, given the
// service's name, and served until a stop signal arrives or the bus goes.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "wire.h"

namespace zorvd {

class Bus {
public:
    // `address` empty: the system bus (or DBUS_SYSTEM_BUS_ADDRESS). Throws
    // std::runtime_error when the bus cannot be reached or the name is owned.
    Bus(const std::string& address, const char* name);

    // Hands every incoming message to `handle` until `stopFd` becomes
    // readable (true) or the bus closes the connection (false).
    bool serve(int stopFd, const std::function<void(DBusMessage*)>& handle);

    void send(MessagePtr message);
    // The Unix user of a message's sender, asked of the bus for each call.
    // Throws CallError when the bus cannot tell.
    uint32_t callerUid(DBusMessage* message);

private:
    struct Close {
        void operator()(DBusConnection* c) const {
            dbus_connection_close(c);
            dbus_connection_unref(c);
        }
    };
    std::vector<DBusWatch*> watches_;  // outlives the connection, which drops them when it closes
    std::unique_ptr<DBusConnection, Close> connection_;
};

}  // namespace zorvd
