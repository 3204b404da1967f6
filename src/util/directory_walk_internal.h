// Internal pieces of the directory walk, reachable by the tests.
#pragma once

#include <dirent.h>

namespace zorv {
namespace detail {

// Whether `entry` of the open `dir` is a directory (not a link to one). Uses
// the type readdir reports, or lstat-like information when it reports none.
bool isSubdirectoryEntry(DIR* dir, const struct dirent& entry);

}  // namespace detail
}  // namespace zorv
