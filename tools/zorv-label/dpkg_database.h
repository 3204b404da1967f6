// What dpkg's database says about the installed packages and their files,
// read as sync-packages needs it: one dpkg-query run for the names, versions
// and states, and the file lists and diversions read from the database
// directory itself (a process per package would cost far more than the
// whole run may take).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zorvtool {

struct DpkgPackage {
    std::string name;  // as dpkg-query names it: "libc6:amd64" for a Multi-Arch: same package
    std::string version;
    std::string listStamp;  // size and modification time of its file list: dpkg writes it anew at every unpack
    // Its files as they are on disk: diversions applied, "/." as "/", paths
    // that another package lists too left out, each once, in the order of
    // dpkg's list. They point into the database's own copy of the lists.
    std::vector<std::string_view> files;
    // Tells one such list from another (not made to stand up to anyone
    // forging lists: only root writes dpkg's database).
    std::string digest;
};

struct DpkgDatabase {
    // The packages whose files are on disk and configured (installed, or
    // waiting for triggers only), by name.
    std::map<std::string, DpkgPackage> installed;
    // Names dpkg still knows but whose files are gone: removed with their
    // configuration files kept, or purged with the entry not yet forgotten.
    std::set<std::string> removed;
    // Names in between (being unpacked, configured or removed): their
    // records are left as they are until dpkg is done with them.
    std::set<std::string> inProgress;
    // Size and modification time of the diversions file.
    std::string diversionsStamp;
    // Every package whose file list is on disk, in the order dpkg-query gave.
    std::vector<std::string> listed;
    // The file lists and diversion targets that `files` point into.
    std::deque<std::string> text;
};

// Reads the packages of the database in `admindir` (dpkg's --admindir,
// /var/lib/dpkg on a host) and the stamps of their lists, but not the lists.
// Throws Failure when dpkg-query cannot be run or fails.
DpkgDatabase readDpkgDatabase(const std::string& admindir);
// Reads the file lists and diversions: the files and digest of each
// installed package.
void readDpkgFiles(DpkgDatabase& db, const std::string& admindir);

}  // namespace zorvtool
