// Whole-file read and write.
#include <zorv/util.hpp>

#include "log/log.h"
#include "util/file_descriptor.h"
#include "util/file_reading.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

using zorv::detail::FileDescriptor;
using zorv::detail::kMaxReadSize;

namespace {

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

// Why a file could not be read, after it was reached.
enum class ReadFailure { kNone, kNotRegular, kTooLarge, kReadError };

ReadFailure readOpened(int fd, std::string& content, int& error) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        error = errno;
        return ReadFailure::kReadError;
    }
    if (!S_ISREG(st.st_mode)) return ReadFailure::kNotRegular;
    if (st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > kMaxReadSize) return ReadFailure::kTooLarge;
    // Files under /proc report size 0, so the size is only a first guess; one
    // spare byte lets a regular file end without a second allocation.
    content.assign(st.st_size > 0 ? static_cast<size_t>(st.st_size) + 1 : 4096, '\0');
    size_t used = 0;
    for (;;) {
        if (used == content.size()) {
            if (used > kMaxReadSize) return ReadFailure::kTooLarge;  // grew while being read
            content.resize(std::min(content.size() * 2, kMaxReadSize + 1));
        }
        const ssize_t n = ::read(fd, &content[used], content.size() - used);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = errno;
            return ReadFailure::kReadError;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    if (used > kMaxReadSize) return ReadFailure::kTooLarge;
    content.resize(used);
    return ReadFailure::kNone;
}

}  // namespace

namespace zorv {
namespace detail {

bool readRegularFile(const char* func, const char* openFailure, const std::string& path,
                     std::string& content) noexcept {
    try {
        // Whatever is not a regular file is refused before it is opened:
        // opening a device can have effects of its own, and opening a FIFO
        // waits for a writer.
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) {
            ZLOG_ERROR_FOR(func, openFailure, path.c_str());
            return false;
        }
        ReadFailure failure = ReadFailure::kNotRegular;
        int error = 0;
        if (S_ISREG(st.st_mode)) {
            // O_NONBLOCK: should a FIFO replace the file meanwhile, the open
            // returns at once and the check on the open file refuses it.
            FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
            if (!file.valid()) {
                ZLOG_ERROR_FOR(func, openFailure, path.c_str());
                return false;
            }
            failure = readOpened(file.get(), content, error);
        }
        switch (failure) {
            case ReadFailure::kNone:
                return true;
            case ReadFailure::kNotRegular:
                ZLOG_ERROR_FOR(func, "Not a regular file, %s", path.c_str());
                break;
            case ReadFailure::kTooLarge:
                ZLOG_ERROR_FOR(func, "File larger than %zu bytes, %s", kMaxReadSize, path.c_str());
                break;
            case ReadFailure::kReadError:
                ZLOG_ERROR_FOR(func, "Unable to read file, %s, %s", path.c_str(), std::strerror(error));
                break;
        }
    } catch (const std::exception& e) {
        ZLOG_ERROR_FOR(func, "Unable to read file, %s, %s", path.c_str(), e.what());
    }
    content.clear();
    return false;
}

}  // namespace detail
}  // namespace zorv

std::string readFile(const std::string& path) {
    std::string content;
    zorv::detail::readRegularFile(__func__, "Unable to open file, %s", path, content);
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
