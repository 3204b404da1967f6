#include "walk_directory.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "virtual_file_systems.h"

namespace zorvd {

namespace {

using zorv::detail::FileDescriptor;

// Whether the directory `entry` is another file system's mount point the
// walk does not enter. Neither look triggers an automount: the walk would
// otherwise mount what it may not enter.
void markMountPoint(const WalkFrame& frame, bool oneFileSystem, DirectoryEntry& entry) {
    struct stat st {};
    if (::fstatat(frame.fd.get(), entry.name.c_str(), &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) != 0 ||
        st.st_dev == frame.device)
        return;
    FileDescriptor fd(::openat(frame.fd.get(), entry.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    entry.virtualType = fd.valid() ? virtualFileSystem(fd.get()) : nullptr;
    entry.otherDevice = oneFileSystem;
}

bool readEntries(WalkFrame& frame, bool oneFileSystem, std::string& problem) {
    const int fd = frame.fd.get();
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* d = copy >= 0 ? ::fdopendir(copy) : nullptr;
    if (!d) {
        problem = std::string("cannot read the directory: ") + std::strerror(errno);
        if (copy >= 0) ::close(copy);
        return false;
    }
    for (;;) {
        errno = 0;
        dirent* e = ::readdir(d);
        if (!e) break;
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        bool dir = e->d_type == DT_DIR;
        if (e->d_type == DT_UNKNOWN) {
            struct stat st;
            dir = ::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        frame.entries.push_back({e->d_name, dir});
    }
    const int error = errno;
    ::closedir(d);
    if (error != 0) problem = std::string("cannot read the directory: ") + std::strerror(error);
    for (DirectoryEntry& entry : frame.entries)
        if (entry.directory) markMountPoint(frame, oneFileSystem, entry);
    return true;
}

}  // namespace

bool listDirectory(WalkFrame& frame, bool oneFileSystem, std::string& problem) {
    if (!readEntries(frame, oneFileSystem, problem)) return false;
    frame.steps.reserve(frame.entries.size() * 2);
    for (uint32_t i = 0; i < frame.entries.size(); ++i) {
        frame.steps.push_back({frame.entries[i].name, i, false});
        if (frame.entries[i].directory) frame.steps.push_back({frame.entries[i].name + "/", i, true});
    }
    std::sort(frame.steps.begin(), frame.steps.end());
    return true;
}

}  // namespace zorvd
