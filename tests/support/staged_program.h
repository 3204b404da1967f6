// Programs of the build tree that a test runs as another user. That user may not reach the build tree at all (a
// checkout in root's home, or in a folder that mktemp -d made, has mode 0700), so such a program runs from a copy:
// the program and the libraries of its own tree it loads, copied once per test process into a folder every user may
// enter, which goes at exit.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zorvtest {

// The copy of `program` that `uid` may run, staged on the first call; "" when none can be made, and `why` (if given)
// then says why.
std::string stagedFor(uid_t uid, const std::string& program, std::string* why = nullptr);

// A copy of the file `from` (no library with it) that every user may read and run, made on the first call; throws
// std::runtime_error when none can be.
std::string stagedCopy(const std::string& from);

// The variables (NAME=value) that a staged copy needs in its environment: LD_LIBRARY_PATH leads to the staged
// libraries first, and the sanitizers' suppression files are read from staged copies. None before anything is staged.
const std::vector<std::string>& stagedVariables();

// Whether `uid` may execute `path`, asked as that user in a child process.
bool reachableBy(uid_t uid, const std::string& path);

}  // namespace zorvtest

// Skips the rest of a test that runs `program` as `uid` when it cannot be staged for that user.
#define ZORV_SKIP_UNLESS_STAGED(uid, program)                                                           \
    do {                                                                                                \
        std::string why_not_staged;                                                                     \
        if (zorvtest::stagedFor(uid, program, &why_not_staged).empty()) GTEST_SKIP() << why_not_staged; \
    } while (0)
