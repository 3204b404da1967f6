// Where the relabel walk reads and writes one file's label: an entry of an
// open directory, never followed, or a descriptor's own path, followed to the
// file it was opened on.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace zorvd {

// Whether the kernel has the attribute calls relative to a directory
// descriptor (Linux 6.13) and no filter refuses them: one lookup of one
// name, where the other way resolves a path through /proc for every call.
bool haveXattrAtCalls();

struct LabelPlace {
    int dirFd = -1;
    const char* name = nullptr;  // in `dirFd`; null: the file is `io` itself
    std::string io;              // the path to use without the calls above

    // As getxattr and setxattr of security.zorv.
    ssize_t get(unsigned char* buffer, std::size_t size) const;
    int set(const unsigned char* value, std::size_t size) const;
};

}  // namespace zorvd
