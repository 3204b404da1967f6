// Runs a piece of a test as another user would: in a forked child that has dropped root, with its own bus connection.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace zorvtest {

constexpr uid_t kNobody = 65534;

// Starts `body` in a child process as `uid` (group `uid`, supplementary `groups`) that exits when `body` returns; its
// pid, or -1. A child that cannot switch exits with kCannotSwitch; what it runs of the build tree must be staged.
constexpr int kCannotSwitch = 126;
pid_t startAsUser(uid_t uid, const std::vector<gid_t>& groups, const std::function<void()>& body);

// The same, and what `body` returned, or a text starting with "child:" when the child could not switch or died.
std::string asUser(uid_t uid, const std::vector<gid_t>& groups, const std::function<std::string()>& body);

}  // namespace zorvtest
