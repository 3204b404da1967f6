// A dbus-daemon of the test's own.
#pragma once

#include <sys/types.h>

#include <string>

#include "scratch_dir.h"

namespace zorvtest {

// A dbus-daemon (and optionally the stand-in on it) in a fresh temporary directory, stopped when the object goes.
class PrivateBus {
public:
    ~PrivateBus() { stop(); }
    const std::string& dir() const { return dir_.path(); }
    std::string address() const { return "unix:path=" + dir_ / "system_bus_socket"; }
    void start(bool withStandin);
    void stop();
    // The process whose id start-bus.sh wrote to `file` ("bus.pid", "standin.pid"); -1 if none.
    pid_t pid(const std::string& file) const;

private:
    ScratchDir dir_;
};

}  // namespace zorvtest
