// The service's own connection to the bus: opened, registered, given the
// service's name, and served until a stop signal arrives or the bus goes.
// Only the serving thread touches the connection; other threads hand it the
// messages they want sent (post), so that libdbus is never used from two
// threads at once.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "util/file_descriptor.h"
#include "wire.h"

namespace zorvd {

class Bus {
public:
    // `address` empty: the system bus (or DBUS_SYSTEM_BUS_ADDRESS). Throws
    // std::runtime_error when the bus cannot be reached or the name is owned.
    Bus(const std::string& address, const char* name);

    // Hands every incoming message to `handle` and sends what was posted,
    // until `stopFd` becomes readable (true) or the bus closes the
    // connection (false).
    bool serve(int stopFd, const std::function<void(DBusMessage*)>& handle);

    // Sends at once; the serving thread only. False when libdbus has no
    // memory for it (the message is dropped).
    bool send(MessagePtr message);
    // Queues a message for the serving thread to send; any thread.
    void post(MessagePtr message);
    // Sends what was posted and waits until it has left; after serve() has
    // returned, for the answers of the calls that were still running.
    void flush();

    DBusConnection* connection() { return connection_.get(); }

private:
    void sendPosted();

    struct Close {
        void operator()(DBusConnection* c) const {
            dbus_connection_close(c);
            dbus_connection_unref(c);
        }
    };
    std::vector<DBusWatch*> watches_;  // outlives the connection, which drops them when it closes
    std::unique_ptr<DBusConnection, Close> connection_;
    zorv::detail::FileDescriptor wake_;  // an eventfd: something was posted
    std::mutex postedMutex_;
    std::vector<MessagePtr> posted_;
};

}  // namespace zorvd
