#include <dbus-c++/dbus.h>
#include <dbus/dbus.h>
#include <poll.h>
#include <zorv/client.hpp>

#include <algorithm>

#include "log/log.h"
#include "protocol/members.h"

DBusConnectionManager* DBusConnectionManager::instance_ = nullptr;
std::once_flag DBusConnectionManager::init_flag_;

namespace {

// Ordinary calls beyond this many at once wait for a free link rather than
// open more connections to the bus daemon. Calls allowed to last longer
// (tagging the whole system, bulk labelling) do not count: they would hold
// the others up for minutes.
constexpr unsigned kMaxLinks = 8;


// dbus-c++ attaches a new connection to the default dispatcher for good (a
// second setup leaves the first dispatcher's watches behind, pointing at
// freed memory), so a link is opened while its own dispatcher is the default.
std::mutex openingMutex;

// libdbus sets up its global locks on first use behind an unsynchronised
// check, and a call builds its message before it asks for a connection: done
// while the library loads, callers' first calls on several threads cannot race
// there.
[[maybe_unused]] const bool libdbusThreadsReady = dbus_threads_init_default();

[[noreturn]] void unavailable() {
    Logger::getInstance().error("getConnection", __LINE__, "DBus service not available");
    throw std::runtime_error("DBus service unavailable");
}

}  // namespace

// Named rather than anonymous: Link, which holds one, is a member of an
// exported class.
namespace connection_links {

// The dispatcher of one link alone. Nothing runs it as a loop: the link's
// holder lets libdbus read and dispatch on its own thread, so no other thread
// ever touches a link in use.
class LinkDispatcher : public DBus::Dispatcher {
    struct Watch : DBus::Watch {
        using DBus::Watch::Watch;
        void toggle() override {}
    };
    struct Timeout : DBus::Timeout {
        using DBus::Timeout::Timeout;
        void toggle() override {}
    };
    std::vector<DBus::Watch*> watches_;

public:
    void enter() override {}
    void leave() override {}
    DBus::Watch* add_watch(DBus::Watch::Internal* w) override {
        watches_.push_back(new Watch(w));
        return watches_.back();
    }
    void rem_watch(DBus::Watch* w) override {
        watches_.erase(std::remove(watches_.begin(), watches_.end(), w), watches_.end());
        delete w;
    }
    DBus::Timeout* add_timeout(DBus::Timeout::Internal* t) override { return new Timeout(t); }
    void rem_timeout(DBus::Timeout* t) override { delete t; }

    // Lets libdbus read what has arrived, without waiting. A bus daemon that
    // went away shows as the end of the stream, and libdbus closes the link.
    void readArrived() {
        for (DBus::Watch* w : watches_) {
            if (!w->enabled() || !(w->flags() & DBUS_WATCH_READABLE)) continue;
            pollfd p{w->descriptor(), POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) return;
            int flags = DBUS_WATCH_READABLE;
            if (p.revents & POLLHUP) flags |= DBUS_WATCH_HANGUP;
            if (p.revents & POLLERR) flags |= DBUS_WATCH_ERROR;
            w->handle(flags);  // may remove the watch
            return;
        }
    }
};

}  // namespace connection_links

// The manager's state, declared in the public header only because the class's
// size is part of the ABI:
//   dispatcher_   the default dispatcher, installed when the manager is made
//   connection_   the link handed to callers of getConnection
//   retired_      earlier such links, closed; callers may hold them
//   idle_         links free for the library's calls
//   lent_         links out with calls
//   longLent_     of which with calls allowed more than 5000 ms
//   epoch_        bumped when a link is found closed: older idle links are dropped
//   connected_    whether the bus could be reached when last tried
//   mutex_        guards the links and the counts; linkReturned_ wakes the
//                 calls that wait for a free link

// One bus connection and the dispatcher that only it uses.
class DBusConnectionManager::Link {
public:
    const unsigned epoch;
    connection_links::LinkDispatcher dispatcher;  // outlives the connection, which may list itself on it as it closes
    DBus::Connection connection;

    static std::unique_ptr<Link> open(unsigned epoch) { return std::unique_ptr<Link>(new Link(epoch)); }

    // Whether the bus has closed the link, as far as what has arrived tells.
    bool usable() {
        dispatcher.readArrived();
        return connected();
    }

    // Any unique name will do: ":1.0" is simply the first client of a bus,
    // which this process may well be after the bus daemon restarts.
    bool connected() const {
        const char* name = connection.unique_name();
        return connection.connected() && name && *name;
    }

    // Hands what no call consumed (stray signals, replies that came after
    // their call gave up) to libdbus, which would otherwise keep it forever.
    void drain() { dispatcher.dispatch_pending(); }

private:
    explicit Link(unsigned e) : epoch(e), connection(openOn(dispatcher)) {}

    static DBus::Connection openOn(DBus::Dispatcher& own) {
        std::lock_guard<std::mutex> lock(openingMutex);
        struct Restore {
            DBus::Dispatcher* installed;
            ~Restore() { DBus::default_dispatcher = installed; }
        } restore{DBus::default_dispatcher};
        DBus::default_dispatcher = &own;
        return DBus::Connection::SystemBus();
    }
};

DBusConnectionManager* DBusConnectionManager::getInstance() {
    std::call_once(init_flag_, [] { instance_ = new DBusConnectionManager(); });
    return instance_;
}

DBusConnectionManager::DBusConnectionManager() {
    dispatcher_.reset(new DBus::BusDispatcher());
    DBus::default_dispatcher = dispatcher_.get();
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        idle_.push_back(Link::open(epoch_));
        connected_ = true;
        ZLOG_INFO("DBus connection initialized successfully");
    } catch (const std::exception& e) {
        ZLOG_ERROR("Failed to initialize DBus connection: %s", e.what());
    }
}

DBusConnectionManager::~DBusConnectionManager() {
    try {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            idle_.clear();
            connection_.reset();
            retired_.clear();
            connected_ = false;
        }
        if (dispatcher_) {
            dispatcher_->leave();
            if (DBus::default_dispatcher == dispatcher_.get()) DBus::default_dispatcher = nullptr;
            dispatcher_.reset();
        }
    } catch (const std::exception& e) {
        ZLOG_ERROR("Error disconnecting DBus: %s", e.what());
    }
}

std::unique_ptr<DBusConnectionManager::Link> DBusConnectionManager::openLink(unsigned epoch) {
    try {
        std::unique_ptr<Link> link = Link::open(epoch);
        connected_ = true;
        return link;
    } catch (const std::exception& e) {
        connected_ = false;
        Logger::getInstance().error("reconnect", __LINE__, "DBus reconnect failed: %s", e.what());
        return nullptr;
    }
}

bool DBusConnectionManager::isConnected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    // A connection that the bus closed never comes back by itself.
    return connected_ && (!connection_ || connection_->connected());
}

bool DBusConnectionManager::reconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++epoch_;  // links out with calls now are closed when they come back
    idle_.clear();
    retireHandleLocked();
    std::unique_ptr<Link> link = openLink(epoch_);
    if (!link) return false;
    idle_.push_back(std::move(link));
    return true;
}

void DBusConnectionManager::retireHandleLocked() {
    if (!connection_) return;
    connection_->connection.disconnect();
    retired_.push_back(std::move(connection_));
}

DBus::Connection& DBusConnectionManager::getConnection() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connection_ || !connection_->usable()) {
        std::unique_ptr<Link> link = openLink(epoch_);
        if (!link) unavailable();
        retireHandleLocked();
        connection_ = std::move(link);
    }
    connection_->drain();
    connection_->connection.set_timeout(zorv::protocol::kCallTimeoutMs);
    return connection_->connection;
}

std::unique_ptr<DBusConnectionManager::Link> DBusConnectionManager::takeLink(bool longCall) {
    for (;;) {
        std::unique_ptr<Link> link;
        unsigned epoch = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            linkReturned_.wait(lock, [&] { return !idle_.empty() || longCall || lent_ - longLent_ < kMaxLinks; });
            ++lent_;
            longLent_ += longCall;
            epoch = epoch_;
            if (!idle_.empty()) {
                link = std::move(idle_.back());
                idle_.pop_back();
            }
        }
        if (!link) {
            // Opened outside the lock, so that a slow bus holds up only this call.
            link = openLink(epoch);
            if (link) return link;
            giveBack(nullptr, longCall);
            unavailable();
        }
        if (link->epoch == epoch && link->usable()) return link;
        giveBack(std::move(link), longCall);
    }
}

void DBusConnectionManager::giveBack(std::unique_ptr<Link> link, bool longCall) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --lent_;
        longLent_ -= longCall;
        if (link && link->epoch == epoch_) {
            if (link->connected()) {
                idle_.push_back(std::move(link));
            } else {
                // The first sign of a bus restart: the idle links of its
                // time are as dead as this one.
                ++epoch_;
                connected_ = false;
            }
        }
    }
    linkReturned_.notify_one();
}

// The library's own calls. Each holds a bus connection of its own for its
// length, taken from a small pool: libdbus corrupts its queues when several
// threads wait on one connection that the bus closes under them, and lets
// a long call hold up the others on its connection. A pooled
// connection that the bus closed while it lay idle (a bus restart) is
// replaced before the call goes out. Blocks until the reply or
// `timeoutMs`, then hands the connection's other incoming messages to
// libdbus so that they cannot pile up. Throws std::runtime_error when the
// bus cannot be reached and DBus::Error for a failed call.
DBus::Message DBusConnectionManager::call(DBus::Message& message, int timeoutMs) {
    struct Lease {
        DBusConnectionManager* owner;
        bool longCall;
        std::unique_ptr<Link> link;
        ~Lease() {
            link->drain();
            owner->giveBack(std::move(link), longCall);
        }
    };
    bool longCall = timeoutMs > zorv::protocol::kCallTimeoutMs;
    Lease lease{this, longCall, takeLink(longCall)};
    return lease.link->connection.send_blocking(message, timeoutMs);
}
