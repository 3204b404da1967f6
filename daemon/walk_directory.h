// A directory as the relabel walk goes through it: its entries, read once,
// in the byte order of the paths they lead to, how far the walk has gone in
// them, and the descriptor it is reached through while the walk holds one.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "file_access.h"

namespace zorvd {

// How many directory descriptors a walk holds at most, whatever the depth of
// the tree: the starting directory's and those of the deepest directories it
// is in. A directory whose descriptor was given up is opened again, by name
// from the nearest one still open, when the walk comes back to it.
constexpr std::size_t kMaxOpenDirectories = 16;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

struct DirectoryEntry {
    std::string name;
    bool directory;  // a link to one is not
    // A directory that is the mount point of another file system the walk
    // does not enter: a virtual one (its type), or any with oneFileSystem.
    bool otherDevice = false;
    const char* virtualType = nullptr;
    bool notEntered() const { return otherDevice || virtualType; }
};

// One step of a directory's walk: an entry itself (its name), or everything
// below it (its name and "/"). Sorted by these keys, the steps give the
// paths in byte order: the paths below "a" lie between "a/" and "a0", where
// no other entry's name or subtree can fall.
struct WalkStep {
    std::string key;
    uint32_t entry;
    bool below;
    bool operator<(const WalkStep& other) const { return key < other.key; }
};

// Which directory it is (device and inode) tells it from one put in its
// place while its descriptor was closed.
struct WalkFrame {
    std::string name;    // in its parent ("" for the starting directory)
    std::string prefix;  // its path and "/"
    std::vector<DirectoryEntry> entries;
    std::vector<WalkStep> steps;
    std::size_t next = 0;
    zorv::detail::FileDescriptor fd;
    dev_t device = 0;
    ino_t inode = 0;
};

// Reads the entries of the directory open in `frame` into its steps. False
// when it cannot be read at all; `problem` says what went wrong, also when
// only the end of it could not be read.
bool listDirectory(WalkFrame& frame, bool oneFileSystem, std::string& problem);

}  // namespace zorvd
