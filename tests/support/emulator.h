// Programs of the build tree that a test starts itself: in a tree built for another processor they run under the
// emulator ZORV_TEST_EMULATOR names (the target's libraries from the sysroot ZORV_TEST_SYSROOT), else as they are.
#pragma once

#include <string>
#include <vector>

namespace zorvtest {

// The emulator's path, or "" in a native tree.
std::string emulator();

// The words that run `program`: the emulator, then `program`.
std::vector<std::string> emulatedCommand(const std::string& program);

// The same for a shell's command line: `program` (quoted as it is given), after the emulator when there is one.
std::string emulatedShellCommand(const std::string& program);

// A shell's command line that lists the libraries `program` loads as ldd does ("NAME => PATH (ADDRESS)").
std::string librariesShellCommand(const std::string& program);

// How many times longer a wait on a program of the build tree may take: ZORV_TEST_SLOWDOWN, 1 by default.
int slowdown();

}  // namespace zorvtest

// Skips the rest of a test that cannot keep its deadlines under the emulator, saying why.
#define ZORV_SKIP_UNDER_EMULATION(why)                                                  \
    do {                                                                                \
        if (!zorvtest::emulator().empty()) GTEST_SKIP() << "under the emulator: " << why; \
    } while (0)
