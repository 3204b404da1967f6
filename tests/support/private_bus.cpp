#include "private_bus.h"

#include <cstdlib>
#include <stdexcept>

namespace zorvtest {

void PrivateBus::start(bool withStandin) {
    // The stand-in built with the tests, unless the environment names another.
    const char* standin = std::getenv("ZORV_TEST_STANDIN");
    std::string cmd = std::string(ZORV_TEST_BUS_SCRIPTS) + "/start-bus.sh '" + dir() + "'";
    if (withStandin) cmd += std::string(" '") + (standin ? standin : ZORV_TEST_STANDIN_BUILT) + "'";
    if (std::system((cmd + " >/dev/null").c_str()) != 0) throw std::runtime_error("cannot start a private bus");
}

void PrivateBus::stop() {
    // Best effort: a bus whose daemon has gone already counts as stopped.
    if (std::system((std::string(ZORV_TEST_BUS_SCRIPTS) + "/stop-bus.sh '" + dir() + "'").c_str()) != 0) return;
}

}  // namespace zorvtest
