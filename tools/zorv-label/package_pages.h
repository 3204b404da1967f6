// The packages the service records, as its administration member Packages
// answers them a page at a time.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zorvtool {

struct Package {
    uint64_t id;
    std::string name;
    uint32_t type, files;
};

// One page of Packages' reply, a(tsuu); Failure when it is something else.
std::vector<Package> readPackages(DBusMessage* reply);

}  // namespace zorvtool
