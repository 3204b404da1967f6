// The packages the service records, as its administration member Packages
// answers them a page at a time, and the removal of a package's files.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "admin_client.h"

namespace zorvtool {

struct Package {
    uint64_t id;
    std::string name;
    uint32_t type, files;
    auto fields() { return std::tie(id, name, type, files); }
};

// Every recorded package, in id order, asked for page by page.
std::vector<Package> allPackages(AdminClient& admin);

// Drops every file recorded for the package `name`, of `type`, with an empty
// file list: the one change the library will not send. Answers the service's
// status; a failed call is a Failure.
int32_t dropPackageFiles(AdminClient& admin, const std::string& name, uint32_t type);

}  // namespace zorvtool
