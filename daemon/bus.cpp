#include "bus.h"

#include <poll.h>

#include <cerrno>
#include <stdexcept>

namespace zorvd {

namespace {

// Frees a DBusError on every path.
struct ErrorHolder {
    ErrorHolder() { dbus_error_init(&e); }
    ~ErrorHolder() { dbus_error_free(&e); }
    std::string text() const { return e.message ? e.message : "unknown error"; }
    DBusError e;
};

}  // namespace

Bus::Bus(const std::string& address, const char* name) {
    ErrorHolder error;
    if (address.empty()) {
        connection_.reset(dbus_bus_get_private(DBUS_BUS_SYSTEM, &error.e));
    } else {
        connection_.reset(dbus_connection_open_private(address.c_str(), &error.e));
        if (connection_ && !dbus_bus_register(connection_.get(), &error.e)) connection_.reset();
    }
    if (!connection_) throw std::runtime_error("cannot reach the bus: " + error.text());
    dbus_connection_set_exit_on_disconnect(connection_.get(), FALSE);
    int rc = dbus_bus_request_name(connection_.get(), name, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error.e);
    if (rc != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER)
        throw std::runtime_error(std::string("cannot own ") + name + ": " +
                                 (dbus_error_is_set(&error.e) ? error.text() : "another process owns it"));
}

bool Bus::serve(int stopFd, const std::function<void(DBusMessage*)>& handle) {
    DBusConnection* c = connection_.get();
    int busFd = -1;
    if (!dbus_connection_get_unix_fd(c, &busFd)) throw std::runtime_error("the bus connection has no socket");
    for (;;) {
        // Messages that libdbus has read already (also while a handler waited
        // for the bus) are taken before waiting for more.
        while (DBusMessage* raw = dbus_connection_pop_message(c)) {
            MessagePtr message(raw);
            handle(message.get());
        }
        pollfd fds[2] = {{busFd, short(POLLIN | (dbus_connection_has_messages_to_send(c) ? POLLOUT : 0)), 0},
                         {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
        if (fds[1].revents) {
            dbus_connection_flush(c);
            return true;
        }
        if (!dbus_connection_read_write(c, 0)) return false;
        if (!dbus_connection_get_is_connected(c)) return false;
    }
}

void Bus::send(MessagePtr message) {
    if (message && !dbus_connection_send(connection_.get(), message.get(), nullptr)) throw std::bad_alloc();
}

uint32_t Bus::callerUid(DBusMessage* message) {
    ErrorHolder error;
    const char* sender = dbus_message_get_sender(message);
    unsigned long uid = sender ? dbus_bus_get_unix_user(connection_.get(), sender, &error.e) : (unsigned long)-1;
    if (uid == (unsigned long)-1)
        throw CallError(DBUS_ERROR_ACCESS_DENIED, "the caller's user is unknown: " + error.text());
    return static_cast<uint32_t>(uid);
}

}  // namespace zorvd
