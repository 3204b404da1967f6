// The set-up of every benchmark that calls the stand-in: a private bus with
// the stand-in on it, named to the library by DBUS_SYSTEM_BUS_ADDRESS, for as
// long as the object lives (the whole run when made first in main()).
#pragma once

#include <cstdlib>

#include "private_bus.h"

namespace zorvbench {

class StandinBus {
public:
    StandinBus() {
        bus_.start(true);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_.address().c_str(), 1);
    }

private:
    zorvtest::PrivateBus bus_;
};

}  // namespace zorvbench
