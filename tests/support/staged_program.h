// Programs of the build tree that a test runs as another user, who may not reach the tree (a checkout of mode 0700):
// the program and the libraries of its tree, copied once per test process into a folder every user may enter.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zorvtest {

// The copy of `program` that `uid` may run, staged on the first call; "" and `why` when none can be made.
std::string stagedFor(uid_t uid, const std::string& program, std::string* why = nullptr);

// A copy of the file `from` alone that every user may read and run; throws std::runtime_error when none can be.
std::string stagedCopy(const std::string& from);

// The variables (NAME=value) a staged copy needs: LD_LIBRARY_PATH, the sanitizers' staged suppression files.
const std::vector<std::string>& stagedVariables();

}  // namespace zorvtest

// Skips the rest of a test that runs `program` as `uid` when it cannot be staged for that user.
#define ZORV_SKIP_UNLESS_STAGED(uid, program)                                                           \
    do {                                                                                                \
        std::string why_not_staged;                                                                     \
        if (zorvtest::stagedFor(uid, program, &why_not_staged).empty()) GTEST_SKIP() << why_not_staged; \
    } while (0)
