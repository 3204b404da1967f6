// Internal pieces of the directory walk, reachable by the tests.
#pragma once

namespace zorv {
namespace detail {

// Whether the entry `name` of type `type` (a d_type value) in the open
// directory `dirFd` is a directory (not a link to one). Looks the entry up
// when the file system reports no type.
bool isSubdirectoryEntry(int dirFd, const char* name, unsigned char type);

}  // namespace detail
}  // namespace zorv
