// Depth-first listing of a directory tree without following links.
#include <zorv/labelmgr.hpp>

#include "log/log.h"
#include "util/directory_walk_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

namespace zorv {
namespace detail {

bool isSubdirectoryEntry(DIR* dir, const struct dirent& entry) {
    if (entry.d_type == DT_DIR) return true;
    if (entry.d_type != DT_UNKNOWN) return false;
    // Some file systems do not report entry types; without this a directory
    // there would be listed but never entered.
    struct stat st;
    return ::fstatat(::dirfd(dir), entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace detail
}  // namespace zorv

int traverseDirectory(const std::string& dir, std::vector<std::string>& out) {
    std::string d = dir;
    if (d.size() > 1 && d.back() == '/') d.pop_back();

    if (::access(d.c_str(), F_OK) != 0) {
        ZLOG_ERROR("Directory does not exist: %s, error: %s", d.c_str(), std::strerror(errno));
    }
    out.push_back(d);

    std::unique_ptr<DIR, DirCloser> stream(::opendir(d.c_str()));
    if (!stream) {
        const int err = errno;
        ZLOG_ERROR("Failed to open directory: %s, error: %s (errno: %d)", d.c_str(), std::strerror(err), err);
        return -1;
    }

    std::string path = d;
    path += '/';
    const std::size_t prefix = path.size();
    while (const struct dirent* entry = ::readdir(stream.get())) {
        path.resize(prefix);
        path += entry->d_name;
        if (!zorv::detail::isSubdirectoryEntry(stream.get(), *entry)) {
            out.push_back(path);
        } else if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            traverseDirectory(path, out);
        }
    }
    return 0;
}
