// What sync-packages remembers between runs, so that a run with nothing
// changed can tell so without sending a package: per package the version,
// the stamp of its dpkg file list, a digest of the files it was labelled
// with and how many of them were recorded; and the stamp of dpkg's
// diversions. The file is only a shortcut: a
// package the service does not hold as recorded here is labelled anyway.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zorvtool {

struct SyncedPackage {
    std::string version, listStamp, digest;
    uint64_t count = 0;  // files recorded for it

    bool operator==(const SyncedPackage& o) const {
        return version == o.version && listStamp == o.listStamp && digest == o.digest && count == o.count;
    }
};

using SyncState = std::map<std::string, SyncedPackage>;

// The state in `path`, and the stamp of dpkg's diversions file it was made
// with; empty when there is none. A file that is not a state of this form
// counts as none (everything is then compared afresh), and so does any line
// of it that is not.
SyncState loadSyncState(const std::string& path, std::string& diversionsStamp);
// Replaces the file as the service writes its own: a temporary file beside
// it, synced, renamed over it, and the directory synced. Throws Failure.
void saveSyncState(const std::string& path, const SyncState& state, const std::string& diversionsStamp);

}  // namespace zorvtool
