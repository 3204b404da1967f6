#include "acting_as_caller.h"

#include <grp.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "log/log.h"

namespace zorvd {

namespace {

// The raw system calls: glibc's setgroups changes every thread of the process.
long setThreadGroups(const std::vector<gid_t>& groups) {
    return ::syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data());
}
uid_t setFsUid(uid_t uid) { return static_cast<uid_t>(::syscall(SYS_setfsuid, uid)); }
gid_t setFsGid(gid_t gid) { return static_cast<gid_t>(::syscall(SYS_setfsgid, gid)); }
// setfsuid answers the previous value and never fails outright; asking with
// an impossible id reads the current one.
uid_t currentFsUid() { return setFsUid(static_cast<uid_t>(-1)); }
gid_t currentFsGid() { return setFsGid(static_cast<gid_t>(-1)); }

constexpr gid_t kNoGroup = 65534;

// The caller's groups as the bus saw them; if it could not, those the user
// database gives the user.
std::vector<gid_t> groupsOf(const Caller& caller) {
    std::vector<gid_t> groups(caller.groups.begin(), caller.groups.end());
    if (caller.groupsKnown) return groups;
    char buffer[16384];
    passwd entry, *found = nullptr;
    if (getpwuid_r(caller.uid, &entry, buffer, sizeof buffer, &found) != 0 || !found) return groups;
    int n = 64;
    groups.resize(n);
    if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &n) < 0) {
        groups.resize(n);
        if (getgrouplist(found->pw_name, found->pw_gid, groups.data(), &n) < 0) n = 0;
    }
    groups.resize(n);
    return groups;
}

}  // namespace

bool AsCaller::possible(const Caller& caller) { return ::geteuid() == 0 || caller.uid == ::geteuid(); }

bool AsCaller::needed(const Caller& caller) { return !caller.root() && caller.uid != ::geteuid(); }

AsCaller::AsCaller(const Caller& caller) : uid_(currentFsUid()), gid_(currentFsGid()) {
    int n = ::getgroups(0, nullptr);
    groups_.resize(n > 0 ? n : 0);
    if (n > 0 && ::getgroups(n, groups_.data()) != n) throw std::runtime_error("cannot read the service's groups");
    std::vector<gid_t> groups = groupsOf(caller);
    // The primary group is among the supplementary ones for a login; where it
    // is not, the caller is denied what only that group would allow.
    gid_t gid = groups.empty() ? kNoGroup : groups.front();
    if (setThreadGroups(groups) != 0) throw std::runtime_error("cannot take on the caller's groups");
    setFsGid(gid);
    setFsUid(caller.uid);
    if (currentFsUid() != caller.uid || currentFsGid() != gid) {
        restore();
        throw std::runtime_error("cannot take on the caller's identity");
    }
}

AsCaller::~AsCaller() { restore(); }

void AsCaller::restore() noexcept {
    setFsUid(uid_);
    setFsGid(gid_);
    if (setThreadGroups(groups_) != 0 || currentFsUid() != uid_ || currentFsGid() != gid_) {
        ZLOG_ERROR("a worker thread cannot take back the service's identity; stopping");
        std::abort();
    }
}

}  // namespace zorvd
