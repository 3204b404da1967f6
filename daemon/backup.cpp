#include "backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "sqlite_handles.h"
#include "util/file_descriptor.h"
#include "wire.h"

namespace zorvd {

namespace {

[[noreturn]] void backupFailed(const std::string& what) { throw CallError(DBUS_ERROR_FAILED, "backup: " + what); }

// The temporary copy's name, removed with the object.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& beside) : path_(beside + ".backup-XXXXXX") {
        fd_ = zorv::detail::FileDescriptor(::mkostemp(path_.data(), O_CLOEXEC));
        if (!fd_.valid()) backupFailed("cannot create " + path_ + ": " + std::strerror(errno));
    }
    ~TemporaryFile() { ::unlink(path_.c_str()); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::string& path() const { return path_; }
    int fd() const { return fd_.get(); }

private:
    std::string path_;
    zorv::detail::FileDescriptor fd_;
};

void copyInto(sqlite3* source, const std::string& path) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    DatabasePtr copy(raw);
    if (rc != SQLITE_OK) backupFailed("cannot open the copy: " + std::string(raw ? sqlite3_errmsg(raw) : "no memory"));
    // A fresh file of its own: no journal is needed to build it.
    sqlite3_exec(copy.get(), "PRAGMA journal_mode=OFF", nullptr, nullptr, nullptr);
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", source, "main");
    if (!backup) backupFailed(sqlite3_errmsg(copy.get()));
    // All pages in one step: one read transaction on the source, so the copy
    // is one state of it; writers go on meanwhile (write-ahead log).
    rc = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) backupFailed(std::string("copying failed: ") + sqlite3_errstr(rc));
}

}  // namespace

uint64_t backupDatabase(sqlite3* source, const std::string& databasePath, int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw CallError(DBUS_ERROR_INVALID_ARGS, "backup: the copy must go to a regular file");
    const int mode = ::fcntl(fd, F_GETFL);
    if (mode < 0 || (mode & O_ACCMODE) == O_RDONLY || (mode & O_APPEND))
        throw CallError(DBUS_ERROR_INVALID_ARGS, "backup: the file must be open for writing, not appending");

    TemporaryFile temporary(databasePath);
    copyInto(source, temporary.path());

    if (::ftruncate(fd, 0) != 0) backupFailed(std::string("cannot truncate the file: ") + std::strerror(errno));
    std::vector<char> buffer(1 << 20);
    uint64_t size = 0;
    for (;;) {
        ssize_t n = ::pread(temporary.fd(), buffer.data(), buffer.size(), static_cast<off_t>(size));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) backupFailed(std::string("cannot read the copy: ") + std::strerror(errno));
        if (n == 0) break;
        for (ssize_t at = 0; at < n;) {
            ssize_t w = ::pwrite(fd, buffer.data() + at, static_cast<size_t>(n - at), static_cast<off_t>(size + at));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) backupFailed(std::string("cannot write the file: ") + std::strerror(w < 0 ? errno : ENOSPC));
            at += w;
        }
        size += static_cast<uint64_t>(n);
    }
    if (::fsync(fd) != 0) backupFailed(std::string("cannot sync the file: ") + std::strerror(errno));
    return size;
}

}  // namespace zorvd
