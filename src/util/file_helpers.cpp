// Whole-file read and write.
#include <zorv/labelmgr.hpp>

#include "log/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Owns one file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports whether the kernel accepted the close; for a
    // written file that is the last chance to learn of a failed write-back.
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string readFile(const std::string& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        ZLOG_ERROR("Unable to open file, %s", path.c_str());
        return std::string();
    }
    // Files under /proc report size 0, so the size is only a first guess; one
    // spare byte lets a regular file end without a second allocation.
    struct stat st;
    size_t guess = 4096;
    if (::fstat(file.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        guess = static_cast<size_t>(st.st_size) + 1;

    std::string content(guess, '\0');
    size_t used = 0;
    for (;;) {
        if (used == content.size()) content.resize(content.size() * 2);
        ssize_t n = ::read(file.get(), &content[used], content.size() - used);
        if (n < 0 && errno == EINTR) continue;
        // A read error (a directory, a device) ends the file where it stands.
        if (n <= 0) break;
        used += static_cast<size_t>(n);
    }
    content.resize(used);
    return content;
}

bool writeFile(const std::string& path, const std::string& content) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!file.valid()) {
        ZLOG_ERROR("Unable to open file for writing, %s", path.c_str());
        return false;
    }
    // A full disk or a failed write-back must not pass for success.
    if (!writeAll(file.get(), content.data(), content.size()) || !file.close()) {
        const int error = errno;
        ZLOG_ERROR("Unable to write file, %s, %s", path.c_str(), std::strerror(error));
        return false;
    }
    return true;
}
