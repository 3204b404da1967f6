// The label manager service (zorv-labelmgrd) on a private bus of its own.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "protocol/service_names.h"
#include "private_bus.h"
#include "process_guard.h"
#include "service_connection.h"

namespace zorvtest {

class ServiceDaemon {
public:
    // Starts a private bus that every local user may reach; start() starts the service `program`.
    explicit ServiceDaemon(const std::string& program);
    ~ServiceDaemon() { if (running()) stop(); }

    std::string address() const { return bus_.address(); }
    // The bus's directory, where the database and the service's log lie.
    const std::string& dir() const { return bus_.dir(); }
    // The bus daemon's process, to stop or kill it under the service.
    pid_t busPid() const;
    // Switches to a fresh database file in the bus's directory.
    ServiceDaemon& newDatabase() { db_ = bus_.dir() + "/labels" + std::to_string(++dbCount_) + ".db"; return *this; }
    const std::string& database() const { return db_; }
    ServiceDaemon& useDatabase(const std::string& path) { db_ = path; return *this; }

    // Starts the service on the current database and waits until it owns its name; notifications go to `endpoint` (a
    // socket of this bus by default), named in an option or, without `asOption`, in the environment. Throws
    // std::runtime_error when it ends instead (exitStatus() tells how).
    void start(const std::string& endpoint = "", bool asOption = true);
    // The service runs as this user, from a staged copy, from the next start on.
    ServiceDaemon& runAs(uid_t uid) { runAs_ = uid; return *this; }
    const std::string& program() const { return program_; }
    // More command-line options of the service, from the next start on.
    ServiceDaemon& options(std::vector<std::string> more) { options_ = std::move(more); return *this; }
    // How the last service that ended by itself during start() ended.
    int exitStatus() const { return exitStatus_; }
    // What the services of this bus wrote to their standard output and error.
    std::string output() const;
    // Sends `sig` and returns the exit status (128 + signal when killed).
    int stop(int sig = 15);
    bool running() const { return pid_ > 0; }
    // The service has ended and been waited for by the test itself.
    void forget() { releaseProcess(std::exchange(pid_, -1)); }
    // A new bus daemon in place of one the test stopped or killed.
    void restartBus();
    pid_t pid() const { return pid_; }

private:
    std::string program_, db_;
    PrivateBus bus_;
    pid_t pid_ = -1;
    int dbCount_ = 0;
    uid_t runAs_ = uid_t(-1);
    std::vector<std::string> options_;
    int exitStatus_ = -1;
};

}  // namespace zorvtest
