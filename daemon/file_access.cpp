#include "file_access.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "acting_as_caller.h"
#include "wire.h"

namespace zorvd {

namespace {

std::optional<Label> readLabel(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;  // no log line for every missing path asked for
    Label label;
    if (label.getFromXattr(path, true) != 0) return std::nullopt;
    return label;
}

}  // namespace

std::optional<Label> readOwnLabel(const std::string& path, const Caller& caller) {
    if (!AsCaller::needed(caller)) return readLabel(path);
    if (!AsCaller::possible(caller)) return std::nullopt;
    AsCaller as(caller);
    return readLabel(path);
}

zorv::detail::FileDescriptor openWithoutLinks(const std::string& path) {
    using zorv::detail::FileDescriptor;
    FileDescriptor dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) throw CallError(DBUS_ERROR_FAILED, std::string("cannot open /: ") + std::strerror(errno));
    std::size_t at = 1;
    while (at < path.size()) {
        std::size_t end = path.find('/', at);
        const bool last = end == std::string::npos;
        const std::string name = path.substr(at, last ? std::string::npos : end - at);
        const std::string sofar = path.substr(0, last ? path.size() : end);
        FileDescriptor next(::openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY)));
        if (!next.valid()) {
            const int error = errno;
            struct stat st;
            if (!last && ::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                throw CallError(DBUS_ERROR_FAILED,
                                sofar + " is a symbolic link: no label is written through one (" + path + ")");
            throw CallError(DBUS_ERROR_FAILED, "cannot open " + sofar + ": " + std::strerror(error));
        }
        dir = std::move(next);
        at = last ? path.size() : end + 1;
    }
    return dir;
}

std::string descriptorPath(const zorv::detail::FileDescriptor& fd) {
    return "/proc/self/fd/" + std::to_string(fd.get());
}

}  // namespace zorvd
