// Programs of the build tree that a test starts itself. In a tree built for another processor (the arm64 tree, whose
// tests run under qemu-user) they run under the emulator that ZORV_TEST_EMULATOR names, which finds the target's
// libraries in the sysroot ZORV_TEST_SYSROOT; in a native tree both are unset and the programs run as they are.
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

// A shell's command line that lists the libraries `program` loads, as ldd lists them ("NAME => PATH (ADDRESS)"). ldd
// cannot read another processor's programs: under the emulator the target's own loader lists them (those of the
// system from the sysroot).
std::string librariesShellCommand(const std::string& program);

// How many times longer than natively a wait on a program of the build tree may take: ZORV_TEST_SLOWDOWN, 1 by
// default.
int slowdown();

}  // namespace zorvtest

// Skips the rest of a test that cannot be held to its deadlines under the emulator, saying why; in a native tree it
// runs.
#define ZORV_SKIP_UNDER_EMULATION(why)                                                  \
    do {                                                                                \
        if (!zorvtest::emulator().empty()) GTEST_SKIP() << "under the emulator: " << why; \
    } while (0)
