// The label manager service (zorv-labelmgrd) on a private bus of its own, for
// tests and benchmarks that run against the real service.
#pragma once

#include <sys/types.h>

#include <string>

#include "client/service_names.h"
#include "test_bus.h"

namespace zorvtest {

class ServiceDaemon {
public:
    // Starts a private bus that every local user may reach; the service is
    // started by start(). `program` is the service's executable.
    explicit ServiceDaemon(const std::string& program);
    ~ServiceDaemon() { if (running()) stop(); }

    std::string address() const { return bus_.address(); }
    // Switches to a fresh database file in the bus's directory.
    ServiceDaemon& newDatabase() { db_ = bus_.dir() + "/labels" + std::to_string(++dbCount_) + ".db"; return *this; }
    const std::string& database() const { return db_; }

    // Starts the service on the current database and waits until it owns
    // its name. Notifications go to a socket of this bus unless `endpoint`
    // names another, such as the service's own protocol::kNotifyEndpoint.
    void start(const std::string& endpoint = "");
    // Sends `sig` and returns the exit status (128 + signal when killed).
    int stop(int sig = 15);
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

private:
    std::string program_, db_;
    PrivateBus bus_;
    pid_t pid_ = -1;
    int dbCount_ = 0;
};

}  // namespace zorvtest
