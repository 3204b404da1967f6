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

// Where the service's own messages go: its bus connection, or the stand-in
// of a program that drives the service without a bus (its fuzzer).
class Outbox {
public:
    virtual ~Outbox() = default;
    // Sends at once; the serving thread only. False when libdbus has no
    // memory for it (the message is dropped).
    virtual bool send(MessagePtr message) = 0;
    // Queues a message for the serving thread to send; any thread.
    virtual void post(MessagePtr message) = 0;
    // Sends a question of the service's own (to the bus daemon) and tells
    // the serial its answer will refer to; the serving thread only.
    virtual bool ask(DBusMessage* question, dbus_uint32_t* serial) = 0;
};

class Bus : public Outbox {
public:
    // `address` empty: the system bus (or DBUS_SYSTEM_BUS_ADDRESS). Throws
    // std::runtime_error when the bus cannot be reached or the name is owned.
    Bus(const std::string& address, const char* name);

    // Hands every incoming message to `handle` and sends what was posted,
    // until `stopFd` becomes readable (true) or the bus closes the
    // connection (false).
    bool serve(int stopFd, const std::function<void(DBusMessage*)>& handle);

    bool send(MessagePtr message) override;
    void post(MessagePtr message) override;
    bool ask(DBusMessage* question, dbus_uint32_t* serial) override;
    // Sends what was posted and waits until it has left; after serve() has
    // returned, for the answers of the calls that were still running.
    void flush();

private:
    void sendPosted();
    void readOn(DBusWatch* watch, int fd);

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
