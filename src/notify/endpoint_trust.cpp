#include "notify/endpoint_trust.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zorv {
namespace notify {

namespace {

constexpr int kMaxLinks = 40;  // as the kernel allows when it resolves a path

// The components of `path`, the last first, to be taken from the back.
void pushComponents(const std::string& path, std::vector<std::string>& pending) {
    std::size_t end = path.size();
    while (end > 0) {
        std::size_t start = path.rfind('/', end - 1);
        start = start == std::string::npos ? 0 : start + 1;
        if (end > start) pending.push_back(path.substr(start, end - start));
        end = start == 0 ? 0 : start - 1;
    }
}

bool onlyCurrentLeft(const std::vector<std::string>& pending) {
    for (const std::string& name : pending)
        if (name != ".") return false;
    return true;
}

// A directory where users other than its owner may add, rename or remove
// entries: writable by group or others, and not sticky.
std::string openToOthers(const std::string& name, const struct stat& st) {
    if (!(st.st_mode & (S_IWGRP | S_IWOTH)) || (st.st_mode & S_ISVTX)) return "";
    return name + " may be changed by other users";
}

}  // namespace

std::string whyNotTrusted(const std::string& endpoint) {
    const std::string scheme = "ipc://";
    if (endpoint.compare(0, scheme.size(), scheme) != 0) return "";
    const std::string path = endpoint.substr(scheme.size());
    if (path.empty() || path[0] != '/') return "the socket file is not named by an absolute path";

    const uid_t self = ::geteuid();
    auto owner = [self](const std::string& name, const struct stat& st) -> std::string {
        if (st.st_uid == 0 || st.st_uid == self) return "";
        return name + " belongs to uid " + std::to_string(st.st_uid);
    };
    // The path is walked as the kernel resolves it: every directory passed
    // and every link followed must be out of other users' reach.
    std::vector<std::string> pending;
    pushComponents(path, pending);
    std::string at;  // the directory reached, without links; empty for the root
    struct stat st {};
    if (::lstat("/", &st) != 0) return std::string("/: ") + std::strerror(errno);
    if (std::string why = owner("/", st); !why.empty()) return why;
    if (std::string why = openToOthers("/", st); !why.empty()) return why;
    int links = 0;
    while (!pending.empty()) {
        const std::string name = pending.back();
        pending.pop_back();
        if (name == ".") continue;
        if (name == "..") {
            at.erase(at.rfind('/') == std::string::npos ? 0 : at.rfind('/'));
            continue;
        }
        const std::string next = at + "/" + name;
        if (::lstat(next.c_str(), &st) != 0) return next + ": " + std::strerror(errno);
        if (std::string why = owner(next, st); !why.empty()) return why;
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t size = ::readlink(next.c_str(), target, sizeof target);
            if (size < 0 || size == sizeof target) return next + ": cannot read the link";
            if (++links > kMaxLinks) return path + ": too many links";
            if (target[0] == '/') at.clear();
            pushComponents(std::string(target, size), pending);
            continue;
        }
        const bool last = onlyCurrentLeft(pending);
        if (last && S_ISSOCK(st.st_mode)) return "";
        if (!S_ISDIR(st.st_mode)) return next + (last ? " is not a socket" : " is not a directory");
        if (std::string why = openToOthers(next, st); !why.empty()) return why;
        at = next;
    }
    return path + " is not a socket";
}

}  // namespace notify
}  // namespace zorv
