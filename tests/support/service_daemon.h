// The label manager service (zorv-labelmgrd) on a private bus of its own, for
// tests and benchmarks that run against the real service.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "test_bus.h"

namespace zorvtest {

class ServiceDaemon {
public:
    // Starts a private bus that every local user may reach; the service is
    // started by start(). `program` is the service's executable.
    explicit ServiceDaemon(const std::string& program);
    ~ServiceDaemon();
    ServiceDaemon(const ServiceDaemon&) = delete;
    ServiceDaemon& operator=(const ServiceDaemon&) = delete;

    std::string address() const { return bus_.address(); }
    // A fresh database file in the bus's directory.
    std::string newDatabase();
    const std::string& database() const { return db_; }

    // Starts the service on `db` (the current database when empty) and waits
    // until it owns its name. Notifications go to a socket of this bus
    // unless `endpoint` names another.
    void start(const std::string& db = "", const std::string& endpoint = "");
    // Sends `sig` and returns the exit status (128 + signal when killed).
    int stop(int sig = 15);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

private:
    std::string program_, dir_, db_;
    PrivateBus bus_;
    pid_t pid_ = -1;
    int dbCount_ = 0;
};

// A private connection to the bus at `address` (by default the one named by
// DBUS_SYSTEM_BUS_ADDRESS), made by whoever uses it: a forked child gets its
// own, as its own user.
class ServiceConnection {
public:
    explicit ServiceConnection(const std::string& address = "");
    ~ServiceConnection();
    ServiceConnection(const ServiceConnection&) = delete;
    ServiceConnection& operator=(const ServiceConnection&) = delete;

    // One call to the service, answered as text: the reply's arguments as the
    // stand-in renders them, or "error NAME" for an error reply.
    std::string call(const std::string& member, const std::vector<WireValue>& args = {});
    DBusConnection* get() const { return connection_; }

private:
    DBusConnection* connection_;
};

inline std::string callService(const std::string& member, const std::vector<WireValue>& args = {}) {
    return ServiceConnection().call(member, args);
}

}  // namespace zorvtest
