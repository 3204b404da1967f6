#include "private_bus.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "emulator.h"
#include "process_guard.h"

namespace zorvtest {

const char* const kPidFiles[] = {"bus.pid", "standin.pid"};

pid_t PrivateBus::pid(const std::string& file) const {
    pid_t pid = -1;
    std::ifstream(dir_ / file) >> pid;
    return pid;
}

void PrivateBus::start(bool withStandin) {
    for (const char* file : kPidFiles) releaseProcess(pid(file));  // the script stops what ran before
    // The stand-in built with the tests, unless the environment names another.
    const char* standin = std::getenv("ZORV_TEST_STANDIN");
    std::string cmd = std::string(ZORV_TEST_BUS_SCRIPTS) + "/start-bus.sh '" + dir() + "'";
    if (withStandin)
        cmd += " " + emulatedShellCommand(std::string("'") + (standin ? standin : ZORV_TEST_STANDIN_BUILT) + "'");
    if (std::system((cmd + " >/dev/null").c_str()) != 0) throw std::runtime_error("cannot start a private bus");
    for (const char* file : kPidFiles) guardProcess(pid(file));
}

void PrivateBus::stop() {
    for (const char* file : kPidFiles) releaseProcess(pid(file));
    // Best effort: a bus whose daemon has gone already counts as stopped.
    (void)!std::system((std::string(ZORV_TEST_BUS_SCRIPTS) + "/stop-bus.sh '" + dir() + "'").c_str());
}

}  // namespace zorvtest
