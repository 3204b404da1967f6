#include "notify_listener.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "log/log.h"

namespace zorvd {

using zorv::detail::FileDescriptor;

namespace {

constexpr int kBacklog = 128;
// What another user left in the way is removed entry by entry; past these
// bounds the rest is left in the private directory, which only root can enter.
constexpr int kMaxDepth = 32;
constexpr long kMaxEntries = 100000;

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

bool removeContent(int dir, int depth, long& budget);

// Removes `name` from the directory `dir` and, if it is a directory, all it
// holds, through descriptors and never following a link: it was put there by
// another user, who may still hold it open and change it meanwhile.
bool removeEntry(int dir, const char* name, int depth, long& budget) {
    if (--budget < 0) return false;
    if (::unlinkat(dir, name, 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR || depth == 0) return false;
    FileDescriptor sub(::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!sub.valid() || !removeContent(sub.get(), depth - 1, budget)) return false;
    return ::unlinkat(dir, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool removeContent(int dir, int depth, long& budget) {
    FileDescriptor listed(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    DIR* stream = listed.valid() ? ::fdopendir(listed.get()) : nullptr;
    if (stream == nullptr) return false;
    listed.release();
    std::unique_ptr<DIR, int (*)(DIR*)> owned(stream, &::closedir);
    while (const dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (!removeEntry(dir, entry->d_name, depth, budget)) return false;
    }
    return true;
}

// A directory that only the service can enter, made beside the endpoint's
// file (so on the same file system), removed with its content at the end.
class PrivateDir {
public:
    explicit PrivateDir(const std::string& beside) {
        path_ = beside.substr(0, beside.rfind('/') + 1) + ".zorv-notify-XXXXXX";
        if (::mkdtemp(path_.data()) == nullptr) throw systemError("cannot make a directory beside " + beside);
        fd_.reset(::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd_.valid()) {
            std::runtime_error error = systemError("cannot open " + path_);
            ::rmdir(path_.c_str());
            throw error;
        }
    }
    ~PrivateDir() {
        long budget = kMaxEntries;
        if (removeContent(fd_.get(), kMaxDepth, budget) && ::rmdir(path_.c_str()) == 0) return;
        ZLOG_WARN("left %s behind: what another user put in the way could not all be removed", path_.c_str());
    }
    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;

    const std::string& path() const { return path_; }
    int fd() const { return fd_.get(); }

private:
    std::string path_;
    FileDescriptor fd_;
};

sockaddr_un unixAddress(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + path);
    path.copy(address.sun_path, path.size());
    return address;
}

// Says what was in the way of the socket file, now `name` in `dir`, unless it
// was the dead socket of an earlier run.
void reportReplaced(int dir, const char* name, const std::string& path) {
    struct stat st {};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid()) return;
    const char* kind = S_ISDIR(st.st_mode) ? "directory" : S_ISSOCK(st.st_mode) ? "socket"
                       : S_ISLNK(st.st_mode) ? "symbolic link" : "file";
    ZLOG_WARN("replaced a %s of uid %u that occupied %s", kind, static_cast<unsigned>(st.st_uid), path.c_str());
}

// Moves `name` of the private directory onto `path` in one step.
void moveOnto(const PrivateDir& dir, const char* name, const std::string& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (::renameat2(dir.fd(), name, AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return;
        if (errno == EEXIST) {
            // Whatever is there comes into the private directory in exchange.
            if (::renameat2(dir.fd(), name, AT_FDCWD, path.c_str(), RENAME_EXCHANGE) == 0) {
                reportReplaced(dir.fd(), name, path);
                return;
            }
            if (errno == ENOENT) continue;  // it went meanwhile
        }
        if (errno != EINVAL && errno != ENOSYS) throw systemError("cannot move the socket onto " + path);
        // A file system without these flags: a plain rename replaces anything
        // but a directory, which is moved aside first.
        if (::renameat(dir.fd(), name, AT_FDCWD, path.c_str()) == 0) return;
        if (errno != EISDIR && errno != ENOTEMPTY && errno != EEXIST)
            throw systemError("cannot move the socket onto " + path);
        const std::string aside = "in-the-way-" + std::to_string(attempt);
        if (::renameat(AT_FDCWD, path.c_str(), dir.fd(), aside.c_str()) == 0) reportReplaced(dir.fd(), aside.c_str(), path);
    }
    throw std::runtime_error("cannot take " + path + ": it keeps changing");
}

}  // namespace

FileDescriptor listenForSubscribers(const std::string& endpoint) {
    const std::string scheme = "ipc://";
    if (endpoint.compare(0, scheme.size(), scheme) != 0 || endpoint.size() == scheme.size() ||
        endpoint[scheme.size()] != '/')
        throw std::runtime_error("the notification endpoint must be ipc:// and the absolute path of a socket file: " +
                                 endpoint);
    const std::string path = endpoint.substr(scheme.size());
    unixAddress(path);  // subscribers must be able to name it

    PrivateDir dir(path);
    const char* name = "socket";
    const sockaddr_un address = unixAddress(dir.path() + "/" + name);
    FileDescriptor listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.valid()) throw systemError("cannot make a socket");
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw systemError("cannot bind " + dir.path() + "/" + name);
    // Connecting needs write permission on the file, and every local user may subscribe.
    if (::fchmodat(dir.fd(), name, 0666, 0) != 0 || ::listen(listener.get(), kBacklog) != 0)
        throw systemError("cannot listen on " + dir.path() + "/" + name);
    moveOnto(dir, name, path);
    return listener;
}

}  // namespace zorvd
