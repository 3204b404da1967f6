// Depth-first listing of a directory tree without following links.
//
// Each directory is read whole and closed before the walk enters its
// subdirectories, so one directory is open at a time whatever the depth: a
// subdirectory is opened relative to its parent, and the parent is opened
// again through ".." (checked to be the same directory) when the walk returns
// to it for its next subdirectory.
#include <zorv/util.hpp>

#include "log/log.h"
#include "util/directory_walk_internal.h"
#include "util/file_descriptor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

using zorv::detail::FileDescriptor;

namespace zorv {
namespace detail {

bool isSubdirectoryEntry(int dirFd, const char* name, unsigned char type) {
    if (type == DT_DIR) return true;
    if (type != DT_UNKNOWN) return false;
    // Some file systems do not report entry types; without this a directory
    // there would be listed but never entered.
    struct stat st;
    return ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace detail
}  // namespace zorv

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

void logOpenFailure(const std::string& dir, int error) {
    if (error == ENOENT) {
        ZLOG_ERROR_FOR("traverseDirectory", "Directory does not exist: %s, error: %s", dir.c_str(),
                       std::strerror(error));
    }
    ZLOG_ERROR_FOR("traverseDirectory", "Failed to open directory: %s, error: %s (errno: %d)", dir.c_str(),
                   std::strerror(error), error);
}

class Walk {
public:
    explicit Walk(std::vector<std::string>& out) : out_(out), buffer_(new char[kBufferSize]) {}

    void run(const std::string& root, FileDescriptor rootFd) {
        path_ = root;
        if (!enter(std::move(rootFd))) return;
        while (!levels_.empty()) {
            const Level level = levels_.back();
            if (level.next == level.end) {
                entries_.resize(level.firstEntry);
                names_.resize(level.firstName);
                levels_.pop_back();
                continue;
            }
            const Entry entry = entries_[levels_.back().next++];
            path_.resize(level.pathLength);
            path_ += '/';
            path_.append(names_, entry.name, entry.length);
            out_.push_back(path_);
            if (!entry.directory) continue;
            const int depth = static_cast<int>(levels_.size()) - 1;
            if (!reach(depth)) {
                logOpenFailure(path_, lostError_);
                continue;
            }
            FileDescriptor child(::openat(fd_.get(), names_.c_str() + entry.name, kDirectoryFlags | O_NOFOLLOW));
            if (!child.valid()) {
                logOpenFailure(path_, errno);
                continue;
            }
            enter(std::move(child));
        }
    }

private:
    struct Entry {
        std::size_t name;  // offset of the NUL-terminated name in names_
        std::size_t length;
        bool directory;
    };
    // A directory on the current path with the entries still to list.
    struct Level {
        std::size_t pathLength;
        std::size_t firstEntry, next, end;
        std::size_t firstName;
        dev_t device;
        ino_t inode;
    };
    static constexpr std::size_t kBufferSize = 64 * 1024;

    // Reads the open directory at path_ whole and makes it the deepest level.
    bool enter(FileDescriptor fd) {
        struct stat st;
        if (::fstat(fd.get(), &st) != 0) {
            logOpenFailure(path_, errno);
            return false;
        }
        Level level{path_.size(), entries_.size(), entries_.size(), 0, names_.size(), st.st_dev, st.st_ino};
        for (;;) {
            const ssize_t n = ::getdents64(fd.get(), buffer_.get(), kBufferSize);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                const int error = errno;
                ZLOG_ERROR_FOR("traverseDirectory", "Failed to read directory: %s, error: %s", path_.c_str(),
                               std::strerror(error));
                break;
            }
            if (n == 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* d = reinterpret_cast<const struct dirent64*>(buffer_.get() + at);
                at += d->d_reclen;
                const char* name = d->d_name;
                if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
                const std::size_t length = std::strlen(name);
                entries_.push_back({names_.size(), length,
                                    zorv::detail::isSubdirectoryEntry(fd.get(), name, d->d_type)});
                names_.append(name, length + 1);
            }
        }
        level.end = entries_.size();
        levels_.push_back(level);
        fd_ = std::move(fd);
        fdDepth_ = static_cast<int>(levels_.size()) - 1;
        return true;
    }

    // Makes fd_ the open directory of levels_[depth], climbing through ".."
    // from a deeper one, or from the path when the climb fails.
    bool reach(int depth) {
        while (fd_.valid() && fdDepth_ > depth) {
            FileDescriptor parent(::openat(fd_.get(), "..", kDirectoryFlags));
            fd_ = std::move(parent);
            --fdDepth_;
            if (fd_.valid() && !isLevel(fd_.get(), fdDepth_)) fd_ = FileDescriptor();
        }
        if (fd_.valid() && fdDepth_ == depth) return true;
        // Moved meanwhile, or no search permission on the way up.
        const std::string dir = path_.substr(0, levels_[depth].pathLength);
        fd_ = FileDescriptor(::open(dir.c_str(), kDirectoryFlags));
        fdDepth_ = depth;
        lostError_ = fd_.valid() ? ESTALE : errno;
        if (fd_.valid() && !isLevel(fd_.get(), depth)) fd_ = FileDescriptor();
        return fd_.valid();
    }

    bool isLevel(int fd, int depth) const {
        struct stat st;
        return ::fstat(fd, &st) == 0 && st.st_dev == levels_[depth].device && st.st_ino == levels_[depth].inode;
    }

    std::vector<std::string>& out_;
    std::unique_ptr<char[]> buffer_;
    std::string path_;
    std::string names_;
    std::vector<Entry> entries_;
    std::vector<Level> levels_;
    FileDescriptor fd_;
    int fdDepth_ = -1;
    int lostError_ = 0;
};

}  // namespace

int traverseDirectory(const std::string& dir, std::vector<std::string>& out) {
    std::string d = dir;
    if (d.size() > 1 && d.back() == '/') d.pop_back();

    if (::access(d.c_str(), F_OK) != 0) {
        const int error = errno;
        ZLOG_ERROR("Directory does not exist: %s, error: %s", d.c_str(), std::strerror(error));
    }
    out.push_back(d);

    FileDescriptor root(::open(d.c_str(), kDirectoryFlags));
    if (!root.valid()) {
        const int error = errno;
        ZLOG_ERROR("Failed to open directory: %s, error: %s (errno: %d)", d.c_str(), std::strerror(error), error);
        return -1;
    }
    Walk(out).run(d, std::move(root));
    return 0;
}
