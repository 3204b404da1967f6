// What the service accepts as a path and the one form it keeps it in.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/limits.h"

namespace zorvd {

// Longest path the service keeps, in bytes.
constexpr std::size_t kMaxPath = zorv::protocol::kMaxPathBytes;

// The normal form of an absolute path: "." and ".." components resolved by
// text, repeated separators collapsed, no trailing separator (and a final
// "/*" dropped, as the path utilities do). Throws CallError (InvalidArgs)
// for an empty or relative path, or one longer than kMaxPath.
std::string normalPath(const std::string& path);

// The path identifier of a normal path: the last 64 bits of its SM3 digest.
uint64_t pathId(const std::string& normal);

// A name that is not a path (a package, device or module): not empty, at
// most `limit` bytes. Throws CallError (InvalidArgs) otherwise.
const std::string& checkedName(const std::string& name, const char* what, std::size_t limit = 255);

}  // namespace zorvd
