// A mounted file system that never answers for its entry "stall" (see stalled_fs.c); mounted() tells whether it is.
#pragma once

#include <sys/types.h>

#include <string>

#include "scratch_dir.h"

namespace zorvtest {

class StalledFs {
public:
    StalledFs();
    ~StalledFs();
    StalledFs(const StalledFs&) = delete;
    StalledFs& operator=(const StalledFs&) = delete;

    bool mounted() const { return mounted_; }
    // A path whose every look waits for ever; from 1 on each in a directory of its own (one look at a time per one).
    std::string stalled(int which = 0) const {
        return dir_.path() + (which > 0 ? "/" + std::to_string(which) : std::string()) + "/stall";
    }
    // How many looks the file system holds.
    long waiting() const;

private:
    ScratchDir dir_;
    pid_t pid_ = -1;
    bool mounted_ = false;
};

}  // namespace zorvtest
