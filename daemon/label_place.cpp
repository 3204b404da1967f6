#include "label_place.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "label/label_format.h"

namespace zorvd {

namespace {

using zorv::label::kMaxLabelSize;
using zorv::label::kXattrName;

// Older C library headers lack the numbers; they are the same on the
// processors named here (not so on every other one, which go without).
#if !defined(SYS_getxattrat) && !defined(__ILP32__) && \
    (defined(__x86_64__) || defined(__aarch64__) || defined(__riscv))
#define SYS_setxattrat 463
#define SYS_getxattrat 464
#endif

struct XattrArgs {
    alignas(8) uint64_t value;
    uint32_t size;
    uint32_t flags;
};
static_assert(sizeof(XattrArgs) == 16, "the kernel's struct xattr_args");

#ifdef SYS_getxattrat
ssize_t getAt(int dirFd, const char* name, unsigned char* buffer, std::size_t size) {
    XattrArgs args{reinterpret_cast<uintptr_t>(buffer), static_cast<uint32_t>(size), 0};
    return ::syscall(SYS_getxattrat, dirFd, name, AT_SYMLINK_NOFOLLOW, kXattrName, &args, sizeof args);
}

int setAt(int dirFd, const char* name, const unsigned char* value, std::size_t size) {
    XattrArgs args{reinterpret_cast<uintptr_t>(value), static_cast<uint32_t>(size), 0};
    return static_cast<int>(
        ::syscall(SYS_setxattrat, dirFd, name, AT_SYMLINK_NOFOLLOW, kXattrName, &args, sizeof args));
}
#else
ssize_t getAt(int, const char*, unsigned char*, std::size_t) { return -1; }
int setAt(int, const char*, const unsigned char*, std::size_t) { return -1; }
#endif

}  // namespace

bool haveXattrAtCalls() {
#ifdef SYS_getxattrat
    static const bool have = [] {
        unsigned char buffer[kMaxLabelSize + 1];
        if (getAt(AT_FDCWD, "/", buffer, sizeof buffer) >= 0) return true;
        return errno != ENOSYS && errno != EPERM && errno != EINVAL;
    }();
    return have;
#else
    return false;
#endif
}

ssize_t LabelPlace::get(unsigned char* buffer, std::size_t size) const {
    if (!name) return ::getxattr(io.c_str(), kXattrName, buffer, size);
    if (haveXattrAtCalls()) return getAt(dirFd, name, buffer, size);
    return ::lgetxattr(io.c_str(), kXattrName, buffer, size);
}

int LabelPlace::set(const unsigned char* value, std::size_t size) const {
    if (!name) return ::setxattr(io.c_str(), kXattrName, value, size, 0);
    if (haveXattrAtCalls()) return setAt(dirFd, name, value, size);
    return ::lsetxattr(io.c_str(), kXattrName, value, size, 0);
}

}  // namespace zorvd
