// One-call predicates on a path. pathIsDir and pathIsLinkFile look at the entry
// itself (lstat); pathIsExists follows a final link, so a dangling link does
// not exist.
#include "util/path_predicates.h"

#include <zorv/util.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include "log/log.h"

namespace {

// The type bits of the entry itself, or 0 when it cannot be examined.
mode_t entryType(const char* path) {
    struct stat info;
    if (path == nullptr || ::lstat(path, &info) != 0) return 0;
    return info.st_mode & S_IFMT;
}

}  // namespace

int pathIsDir(const char* path) { return entryType(path) == S_IFDIR ? 1 : 0; }

int pathIsLinkFile(const char* path) { return entryType(path) == S_IFLNK ? 1 : 0; }

int pathIsExists(const char* path) { return path != nullptr && ::access(path, F_OK) == 0 ? 0 : -1; }

namespace zorv {

bool validatePath(const char* path) {
    const char* shown = path ? path : "(null)";
    if (pathIsExists(path) != 0) {
        ZLOG_ERROR("path not exist, %s", shown);
        return false;
    }
    if (pathIsLinkFile(path) == 1) {
        ZLOG_ERROR("path is link file, %s", shown);
        return false;
    }
    if (pathIsDir(path) == 0) {
        ZLOG_ERROR("path is not dir, %s", shown);
        return false;
    }
    return true;
}

}  // namespace zorv
