#include "descriptor_io.h"

#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "wire.h"

namespace zorvd {

namespace {

[[noreturn]] void passedFileFailed(const std::string& what) { throw CallError(DBUS_ERROR_FAILED, what); }

[[noreturn]] void tooLarge(std::size_t limit) {
    passedFileFailed("the passed file is larger than " + std::to_string(limit >> 20) + " MiB");
}

// Waits until `fd` is ready for `events`, at most until the deadline.
void await(int fd, short events, Deadline deadline, const char* what) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) passedFileFailed(std::string("gave up waiting to ") + what + " the passed file");
        pollfd p{fd, events, 0};
        int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
        if (n > 0) return;
        if (n < 0 && errno != EINTR) passedFileFailed(std::string("cannot ") + what + " the passed file: " + std::strerror(errno));
    }
}

bool regular(int fd, off_t* size = nullptr) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (size) *size = st.st_size;
    return true;
}

}  // namespace

DescriptorWriter::DescriptorWriter(int fd, Deadline deadline) : fd_(fd), deadline_(deadline), pipe_(!regular(fd)) {}

void DescriptorWriter::flush() {
    std::size_t at = 0;
    while (at < buffer_.size()) {
        // A pipe that polls writable takes PIPE_BUF bytes without blocking.
        std::size_t piece = buffer_.size() - at;
        if (pipe_) {
            await(fd_, POLLOUT, deadline_, "write");
            piece = std::min<std::size_t>(piece, PIPE_BUF);
        }
        ssize_t n = ::write(fd_, buffer_.data() + at, piece);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) passedFileFailed(std::string("cannot write the passed file: ") + std::strerror(n < 0 ? errno : ENOSPC));
        at += static_cast<std::size_t>(n);
    }
    written_ += buffer_.size();
    buffer_.clear();
}

std::string readAll(int fd, Deadline deadline, std::size_t limit) {
    off_t size = 0;
    const bool pipe = !regular(fd, &size);
    std::string content;
    // A regular file's content is held once, at its size: grown step by step
    // it would be copied and, at its largest, held almost twice.
    if (!pipe) {
        const off_t at = std::max<off_t>(::lseek(fd, 0, SEEK_CUR), 0);
        const off_t left = std::max<off_t>(size - at, 0);
        if (static_cast<uint64_t>(left) > limit) tooLarge(limit);
        content.reserve(static_cast<std::size_t>(left));
    }
    char chunk[1 << 16];
    for (;;) {
        if (pipe) await(fd, POLLIN, deadline, "read");
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) passedFileFailed(std::string("cannot read the passed file: ") + std::strerror(errno));
        if (n == 0) return content;
        if (content.size() + static_cast<std::size_t>(n) > limit) tooLarge(limit);
        content.append(chunk, static_cast<std::size_t>(n));
    }
}

}  // namespace zorvd
