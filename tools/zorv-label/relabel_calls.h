// Relabel over the administration interface, called until every path is
// done: the one loop of the tool's walks (restore, verify) and of the labels
// restored after a package is synced.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "admin_client.h"

namespace zorvtool {

struct RelabelReport {
    std::string path, label, found, problem;
    auto fields() { return std::tie(path, label, found, problem); }
};

struct RelabelOutcome {
    std::vector<RelabelReport> files, failed, notEntered;
    uint64_t checked = 0, changed = 0, unrecorded = 0;
};

// Calls Relabel with `flags` on `paths` until all are done, and gathers what
// it reports. With `doing` ("restoring"), a terminal on standard error shows
// where the walk is.
RelabelOutcome relabelPaths(AdminClient& admin, const std::vector<std::string>& paths, uint32_t flags,
                            const char* doing);

}  // namespace zorvtool
