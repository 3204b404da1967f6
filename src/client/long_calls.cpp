// Calls that may wait for minutes (tagging the whole system, bulk labelling)
// do not go on the shared connection. libdbus lets one thread at a time wait
// on a connection's socket, for as long as its own call allows; a call of
// another thread can neither be sent nor time out before that wait ends. So
// each long call borrows a connection of its own, and gives it back for the
// next one: the pool holds as many connections as long calls ever ran at once.
#include <dbus-c++/dbus.h>
#include <zorv/labelmgr.hpp>

#include <memory>
#include <mutex>
#include <vector>

#include "client/service_call.h"
#include "log/log.h"

namespace zorv {

namespace {

class LongCallConnections {
public:
    std::unique_ptr<DBus::Connection> borrow() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            while (!idle_.empty()) {
                std::unique_ptr<DBus::Connection> connection = std::move(idle_.back());
                idle_.pop_back();
                if (connection->connected()) return connection;
                --lent_;
                release(std::move(connection));  // closed by a bus restart
            }
        }
        DBusConnectionManager::getInstance();  // dbus-c++'s dispatcher must exist first
        std::unique_ptr<DBus::Connection> connection;
        try {
            connection = std::make_unique<DBus::Connection>(DBus::Connection::SystemBus());
        } catch (const DBus::Error& e) {
            // No bus to be had is the same failure as on the shared connection.
            ZLOG_ERROR("DBus service not available: %s", e.message());
            throw std::runtime_error("DBus service unavailable");
        }
        connection->exit_on_disconnect(false);
        std::lock_guard<std::mutex> lock(mutex_);
        idle_.reserve(++lent_);  // so that giving it back never allocates
        return connection;
    }

    // Whatever became of the call; a connection that the bus closed is
    // dropped when it is next borrowed.
    void giveBack(std::unique_ptr<DBus::Connection> connection) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        idle_.push_back(std::move(connection));
    }

private:
    // dbus-c++'s dispatcher may still list the connection as having unread
    // messages; it must let go of it before the connection is freed.
    static void release(std::unique_ptr<DBus::Connection> connection) {
        connection->disconnect();
        DBusConnectionManager::getInstance()->drainIncoming(true);
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<DBus::Connection>> idle_;
    std::size_t lent_ = 0;  // connections open, idle or in a call
};

// Lives as long as the process, like the connection manager.
LongCallConnections& pool() {
    static LongCallConnections* connections = new LongCallConnections;
    return *connections;
}

}  // namespace

DBus::Message sendLongCall(DBus::CallMessage& message, int timeoutMs) {
    struct Borrowed {
        std::unique_ptr<DBus::Connection> connection = pool().borrow();
        ~Borrowed() { pool().giveBack(std::move(connection)); }
    } borrowed;
    DBus::Message reply = borrowed.connection->send_blocking(message, timeoutMs);
    DBusConnectionManager::getInstance()->drainIncoming();
    return reply;
}

}  // namespace zorv
