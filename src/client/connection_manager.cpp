#include <dbus-c++/dbus.h>
#include <zorv/labelmgr.hpp>

#include "log/log.h"

DBusConnectionManager* DBusConnectionManager::instance_ = nullptr;
std::once_flag DBusConnectionManager::init_flag_;

namespace {

constexpr int kSharedTimeoutMs = 5000;

// The two handles of one bus link: the one handed out by getConnection (whose
// timeout callers may change) and the library's own. Both share libdbus's
// connection and are created and destroyed together, under the manager's lock
// or by the last call that held them.
struct BusLink {
    DBusConnectionManager* owner;
    DBus::Connection shared;
    DBus::Connection calls;
    BusLink(DBusConnectionManager* o, const DBus::Connection& c) : owner(o), shared(c), calls(c) {}
    // dbus-c++'s dispatcher may still list this connection as having unread
    // messages; it must let go of it before the connection is freed.
    ~BusLink() { owner->drainIncoming(true); }
};

// Opens the system bus and points both handles at the new link.
void openLink(DBusConnectionManager* owner, std::shared_ptr<DBus::Connection>& shared,
              std::shared_ptr<DBus::Connection>& calls) {
    auto link = std::make_shared<BusLink>(owner, DBus::Connection::SystemBus());
    shared = std::shared_ptr<DBus::Connection>(link, &link->shared);
    calls = std::shared_ptr<DBus::Connection>(link, &link->calls);
}

}  // namespace

DBusConnectionManager* DBusConnectionManager::getInstance() {
    std::call_once(init_flag_, [] { instance_ = new DBusConnectionManager(); });
    return instance_;
}

DBusConnectionManager::DBusConnectionManager() {
    dispatcher_.reset(new DBus::BusDispatcher());
    DBus::default_dispatcher = dispatcher_.get();
    std::lock_guard<std::mutex> lock(mutex_);
    try {
        openLink(this, connection_, callConnection_);
        connected_ = true;
        ZLOG_INFO("DBus connection initialized successfully");
    } catch (const std::exception& e) {
        ZLOG_ERROR("Failed to initialize DBus connection: %s", e.what());
    }
}

DBusConnectionManager::~DBusConnectionManager() {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connected_ && connection_) connection_->disconnect();
        connection_.reset();
        callConnection_.reset();
        connected_ = false;
    } catch (const std::exception& e) {
        ZLOG_ERROR("Error disconnecting DBus: %s", e.what());
    }
    if (dispatcher_) {
        std::lock_guard<std::mutex> lock(drainMutex_);
        dispatcher_->leave();
        if (DBus::default_dispatcher == dispatcher_.get()) DBus::default_dispatcher = nullptr;
        dispatcher_.reset();
    }
}

bool DBusConnectionManager::isConnectedLocked() const {
    if (!connected_ || !connection_) return false;
    // A connection that the bus closed never comes back by itself.
    if (!connection_->connected()) return false;
    // Any unique name will do: ":1.0" is simply the first client of a bus,
    // which this process may well be after the bus daemon restarts.
    const char* name = connection_->unique_name();
    return name && *name;
}

bool DBusConnectionManager::isConnected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return isConnectedLocked();
}

bool DBusConnectionManager::reconnectLocked() {
    std::shared_ptr<DBus::Connection> old = connection_;
    if (connected_ && old) {
        try {
            old->disconnect();
        } catch (...) {
        }
    }
    try {
        // Calls still running on the old link keep it alive until they return.
        openLink(this, connection_, callConnection_);
        connected_ = true;
        return true;
    } catch (const std::exception& e) {
        Logger::getInstance().error("reconnect", __LINE__, "DBus reconnect failed: %s", e.what());
        connected_ = false;
        connection_.reset();
        callConnection_.reset();
        return false;
    }
}

bool DBusConnectionManager::reconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reconnectLocked();
}

void DBusConnectionManager::ensureConnectedLocked() {
    if (isConnectedLocked()) return;
    // No connection yet, or the bus closed it (a bus restart): open a new one.
    if (!reconnectLocked() || !isConnectedLocked()) {
        Logger::getInstance().error("getConnection", __LINE__, "DBus service not available");
        throw std::runtime_error("DBus service unavailable");
    }
}

DBus::Connection& DBusConnectionManager::getConnection() {
    std::lock_guard<std::mutex> lock(mutex_);
    ensureConnectedLocked();
    connection_->set_timeout(kSharedTimeoutMs);
    return *connection_;
}

std::shared_ptr<DBus::Connection> DBusConnectionManager::callConnection() {
    std::lock_guard<std::mutex> lock(mutex_);
    ensureConnectedLocked();
    return callConnection_;
}

bool DBusConnectionManager::connectionLost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_ && connection_ && !connection_->connected();
}

void DBusConnectionManager::drainIncoming(bool wait) {
    // dbus-c++ queues the connection on its dispatcher whenever unread
    // messages arrive; nothing runs that dispatcher, so the queue and the
    // messages would grow for as long as the process lives. A call that finds
    // another thread draining leaves it the work.
    std::unique_lock<std::mutex> lock(drainMutex_, std::defer_lock);
    if (wait)
        lock.lock();
    else if (!lock.try_lock())
        return;
    if (dispatcher_) dispatcher_->dispatch_pending();
}
