#include "database.h"

#include <fcntl.h>
#include <sys/file.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <unordered_map>

namespace zorvd {

namespace {
std::atomic<uint64_t> databasesOpened{0};
}  // namespace

Database::Database(const std::string& path) : path_(path), serial_(++databasesOpened) {
    // flock is apart from the record locks SQLite takes, so the two never
    // meet; the descriptor stays open until the connections have closed.
    lock_ = zorv::detail::FileDescriptor(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    // A file that may only be read is reported as such by SQLite below.
    if (!lock_.valid() && (errno == EACCES || errno == EROFS))
        lock_ = zorv::detail::FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!lock_.valid())
        throw DatabaseError(DatabaseError::Unusable, "cannot open " + path + ": " + std::strerror(errno));
    if (::flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            throw DatabaseError(DatabaseError::InUse, path + " is in use by another zorv-labelmgrd");
        throw DatabaseError(DatabaseError::Unusable, "cannot lock " + path + ": " + std::strerror(errno));
    }
    try {
        writer_ = std::make_unique<Store>(path, Store::Mode::Write);
        // A truncated or overwritten file may open and fail only later, on
        // the page a call happens to read: look at every page now.
        const std::string verdict = writer_->quickCheck();
        if (verdict != "ok") throw StoreError("the file is damaged (" + verdict + ")");
    } catch (const StoreError& e) {
        throw DatabaseError(DatabaseError::Unusable, "cannot use " + path + ": " + e.what());
    }
}

Store& Database::reader() {
    // By the database's serial number, not its address, which a later one
    // may take over.
    thread_local std::unordered_map<uint64_t, std::unique_ptr<Store>> mine;
    std::unique_ptr<Store>& slot = mine[serial_];
    if (!slot) slot = std::make_unique<Store>(path_, Store::Mode::Read);
    return *slot;
}

}  // namespace zorvd
