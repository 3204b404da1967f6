#include "bus.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

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

// Messages from callers count against this until they are released: past it
// libdbus stops reading the socket. Room for a few calls of the largest size
// the bus carries from several callers at once.
constexpr long kMaxReceivedBytes = 512L * 1024 * 1024;

}  // namespace

Bus::Bus(const std::string& address, const char* name) : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wake_.valid()) throw std::runtime_error("cannot make an event descriptor");
    // Replies are made on worker threads from calls read here.
    dbus_threads_init_default();
    ErrorHolder error;
    if (address.empty()) {
        connection_.reset(dbus_bus_get_private(DBUS_BUS_SYSTEM, &error.e));
    } else {
        connection_.reset(dbus_connection_open_private(address.c_str(), &error.e));
        if (connection_ && !dbus_bus_register(connection_.get(), &error.e)) connection_.reset();
    }
    if (!connection_) throw std::runtime_error("cannot reach the bus: " + error.text());
    dbus_connection_set_exit_on_disconnect(connection_.get(), FALSE);
    dbus_connection_set_max_received_size(connection_.get(), kMaxReceivedBytes);
    int rc = dbus_bus_request_name(connection_.get(), name, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error.e);
    if (rc != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER)
        throw std::runtime_error(std::string("cannot own ") + name + ": " +
                                 (dbus_error_is_set(&error.e) ? error.text() : "another process owns it"));
}

// The connection's watches (libdbus asks for a read and a write watch on its
// socket) are polled here together with the stop descriptor and the wake-up
// descriptor of posted messages, and every ready one is handed back to libdbus:
// a hang-up is seen on the read watch only, and must reach libdbus for it to
// notice that the bus has gone.
bool Bus::serve(int stopFd, const std::function<void(DBusMessage*)>& handle) {
    DBusConnection* c = connection_.get();
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
        sendPosted();
        // Messages that libdbus has read already are taken before waiting
        // for more.
        while (DBusMessage* raw = dbus_connection_pop_message(c)) {
            MessagePtr message(raw);
            handle(message.get());
        }
        if (!dbus_connection_get_is_connected(c)) return false;
        std::vector<pollfd> fds{{stopFd, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        std::vector<DBusWatch*> polled;
        for (DBusWatch* w : watches_) {
            if (!dbus_watch_get_enabled(w)) continue;
            unsigned flags = dbus_watch_get_flags(w);
            fds.push_back({dbus_watch_get_unix_fd(w),
                           short((flags & DBUS_WATCH_READABLE ? POLLIN : 0) | (flags & DBUS_WATCH_WRITABLE ? POLLOUT : 0)), 0});
            polled.push_back(w);
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error("poll failed");
        }
        if (fds[0].revents) {
            sendPosted();
            dbus_connection_flush(c);
            return true;
        }
        if (fds[1].revents) {
            uint64_t count;
            while (::read(wake_.get(), &count, sizeof count) > 0) {
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            short r = fds[i].revents;
            DBusWatch* w = polled[i - 2];
            // Handling one watch may have removed another.
            if (!r || std::find(watches_.begin(), watches_.end(), w) == watches_.end()) continue;
            dbus_watch_handle(w, (r & POLLIN ? DBUS_WATCH_READABLE : 0) | (r & POLLOUT ? DBUS_WATCH_WRITABLE : 0) |
                                     (r & POLLHUP ? DBUS_WATCH_HANGUP : 0) |
                                     (r & (POLLERR | POLLNVAL) ? DBUS_WATCH_ERROR : 0));
            if (r == POLLIN) readOn(w, fds[i].fd);
        }
    }
}

// libdbus reads at most 2 KiB of its socket each time a watch is handled:
// under a flood of calls, a poll and a pass through the loop for every 2 KiB
// would leave the serving thread behind the callers, and every call (root's
// too) waiting behind the queue the bus keeps for the service. While the
// socket has more, it is read on, up to a bound, before the calls read are
// taken.
void Bus::readOn(DBusWatch* watch, int fd) {
    constexpr int kMoreReads = 256;
    for (int i = 0; i < kMoreReads; ++i) {
        pollfd more{fd, POLLIN, 0};
        if (::poll(&more, 1, 0) != 1 || more.revents != POLLIN) return;
        if (std::find(watches_.begin(), watches_.end(), watch) == watches_.end() || !dbus_watch_get_enabled(watch))
            return;
        dbus_watch_handle(watch, DBUS_WATCH_READABLE);
    }
}

bool Bus::send(MessagePtr message) {
    return !message || dbus_connection_send(connection_.get(), message.get(), nullptr);
}

bool Bus::ask(DBusMessage* question, dbus_uint32_t* serial) {
    return dbus_connection_send(connection_.get(), question, serial);
}

void Bus::post(MessagePtr message) {
    if (!message) return;
    {
        std::lock_guard<std::mutex> lock(postedMutex_);
        posted_.push_back(std::move(message));
    }
    const uint64_t one = 1;
    // The counter only saturates after 2^64 - 2 posts; the loop drains it.
    [[maybe_unused]] ssize_t written = ::write(wake_.get(), &one, sizeof one);
}

void Bus::flush() {
    sendPosted();
    dbus_connection_flush(connection_.get());
}

void Bus::sendPosted() {
    std::vector<MessagePtr> batch;
    {
        std::lock_guard<std::mutex> lock(postedMutex_);
        batch.swap(posted_);
    }
    for (MessagePtr& m : batch) send(std::move(m));
}

}  // namespace zorvd
