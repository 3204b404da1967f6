#include "emulator.h"

#include <cstdlib>

#include "staged_program.h"

namespace zorvtest {

std::string emulator() {
    // A staged copy: the other users that run programs may not reach the source tree, where the script lies.
    static const std::string path = [] {
        const char* set = std::getenv("ZORV_TEST_EMULATOR");
        return set != nullptr && *set != '\0' ? stagedCopy(set) : std::string();
    }();
    return path;
}

std::vector<std::string> emulatedCommand(const std::string& program) {
    if (emulator().empty()) return {program};
    return {emulator(), program};
}

std::string emulatedShellCommand(const std::string& program) {
    return emulator().empty() ? program : "'" + emulator() + "' " + program;
}

std::string librariesShellCommand(const std::string& program) {
    if (emulator().empty()) return "ldd '" + program + "'";
    return "'" + emulator() + "' --list '" + program + "'";
}

int slowdown() {
    const char* factor = std::getenv("ZORV_TEST_SLOWDOWN");
    const int parsed = factor ? std::atoi(factor) : 1;
    return parsed > 1 ? parsed : 1;
}

}  // namespace zorvtest
