#include "bus.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <vector>

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

// The connection's watches (libdbus asks for a read and a write watch on its
// socket) are polled here together with the stop descriptor and handed back
// to libdbus when ready: one poll per wake-up, no extra round through
// dbus_connection_read_write.
bool Bus::serve(int stopFd, const std::function<void(DBusMessage*)>& handle) {
    DBusConnection* c = connection_.get();
    std::vector<DBusWatch*>& watches = watches_;
    auto add = [](DBusWatch* w, void* list) -> dbus_bool_t {
        static_cast<std::vector<DBusWatch*>*>(list)->push_back(w);
        return TRUE;
    };
    auto remove = [](DBusWatch* w, void* list) {
        auto& v = *static_cast<std::vector<DBusWatch*>*>(list);
        v.erase(std::remove(v.begin(), v.end(), w), v.end());
    };
    if (!dbus_connection_set_watch_functions(c, add, remove, nullptr, &watches_, nullptr)) throw std::bad_alloc();
    for (;;) {
        // Messages that libdbus has read already (also while a handler waited
        // for the bus) are taken before waiting for more.
        while (DBusMessage* raw = dbus_connection_pop_message(c)) {
            MessagePtr message(raw);
            handle(message.get());
        }
        if (!dbus_connection_get_is_connected(c)) return false;
        std::vector<pollfd> fds{{stopFd, POLLIN, 0}};
        std::vector<DBusWatch*> polled;
        for (DBusWatch* w : watches) {
            if (!dbus_watch_get_enabled(w)) continue;
            unsigned flags = dbus_watch_get_flags(w);
            fds.push_back({dbus_watch_get_unix_fd(w),
                           short((flags & DBUS_WATCH_READABLE ? POLLIN : 0) | (flags & DBUS_WATCH_WRITABLE ? POLLOUT : 0)), 0});
            polled.push_back(w);
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
        if (fds[0].revents) {
            dbus_connection_flush(c);
            return true;
        }
        // One ready watch per round: handling it may remove the others.
        for (std::size_t i = 1; i < fds.size(); ++i) {
            short r = fds[i].revents;
            if (!r) continue;
            dbus_watch_handle(polled[i - 1], (r & POLLIN ? DBUS_WATCH_READABLE : 0) | (r & POLLOUT ? DBUS_WATCH_WRITABLE : 0) |
                                                 (r & POLLHUP ? DBUS_WATCH_HANGUP : 0) | (r & POLLERR ? DBUS_WATCH_ERROR : 0));
            break;
        }
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
