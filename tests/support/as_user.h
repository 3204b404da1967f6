// Runs a piece of a test as another user, the way a hostile local user would
// call: in a forked child that has dropped root, with its own bus connection.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace zorvtest {

constexpr uid_t kNobody = 65534;

// Runs `body` in a child process as `uid` (its group the same number, its
// supplementary groups `groups`) and returns what it returned, or a text
// starting with "child:" when the child could not become that user or died.
std::string asUser(uid_t uid, const std::vector<gid_t>& groups, const std::function<std::string()>& body);

}  // namespace zorvtest
