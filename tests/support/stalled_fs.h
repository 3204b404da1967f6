// A mounted file system that never answers for its entry "stall" (see
// stalled_fs.c), unmounted when the object goes. Mounting needs root and
// FUSE; mounted() tells whether it worked.
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
    // The path whose every look waits for ever.
    std::string stalled() const { return dir_.path() + "/stall"; }

private:
    ScratchDir dir_;
    pid_t pid_ = -1;
    bool mounted_ = false;
};

}  // namespace zorvtest
