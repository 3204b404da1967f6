// A notification endpoint of the test's own, for the library and the processes started while it lives; its directory
// is sticky and world-writable, as /tmp is, so that a test's unprivileged child can try to take the endpoint's path.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "protocol/service_names.h"
#include "scratch_dir.h"

namespace zorvtest {

class ScratchEndpoint {
public:
    ScratchEndpoint() {
        ::chmod(dir_.path().c_str(), 01777);
        ::setenv(zorv::protocol::kNotifyEndpointVariable, endpoint().c_str(), 1);
    }
    ~ScratchEndpoint() { ::unsetenv(zorv::protocol::kNotifyEndpointVariable); }

    std::string file() const { return dir_ / "notify.socket"; }
    std::string endpoint() const { return "ipc://" + file(); }

private:
    ScratchDir dir_;
};

}  // namespace zorvtest
