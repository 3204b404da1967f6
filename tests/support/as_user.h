// Runs a piece of a test as another user, the way a hostile local user would call: in a forked child that has dropped
// root, with its own bus connection.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace zorvtest {

constexpr uid_t kNobody = 65534;

// Starts `body` in a child process as `uid` (its group the same number, its supplementary groups `groups`), which
// exits when `body` returns; its pid, or -1. A child that cannot become that user exits with kCannotSwitch. A program
// of the build tree that `body` runs must be a staged copy (staged_program.h): the child's environment leads it to
// what it needs.
constexpr int kCannotSwitch = 126;
pid_t startAsUser(uid_t uid, const std::vector<gid_t>& groups, const std::function<void()>& body);

// Runs `body` in a child process as `uid` (its group the same number, its supplementary groups `groups`) and returns
// what it returned, or a text starting with "child:" when the child could not become that user or died.
std::string asUser(uid_t uid, const std::vector<gid_t>& groups, const std::function<std::string()>& body);

}  // namespace zorvtest
