// The service's database as a whole: one writing connection, used by one
// change at a time, and a reading connection per worker thread. The file is
// the service's alone while it runs: a second service on the same file stops
// at once instead of writing beside the first.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "store.h"
#include "util/file_descriptor.h"

namespace zorvd {

// Why the database cannot be used; each has its own exit status.
class DatabaseError : public StoreError {
public:
    enum Kind { Unusable, InUse };
    DatabaseError(Kind kind, const std::string& text) : StoreError(text), kind(kind) {}
    Kind kind;
};

class Database {
public:
    // Opens (or creates) the file, takes the service's lock on it, checks that
    // it is whole and migrates it. Throws DatabaseError, naming the file.
    explicit Database(const std::string& path);

    // The writer, for the holder of writeLock() only.
    Store& writer() { return *writer_; }
    std::mutex& writeLock() { return writeLock_; }

    // The calling thread's own reading connection, opened on first use and
    // closed when the thread ends.
    Store& reader();

    const std::string& path() const { return path_; }

private:
    std::string path_;
    uint64_t serial_;
    zorv::detail::FileDescriptor lock_;  // held open for the service's lifetime
    std::unique_ptr<Store> writer_;
    std::mutex writeLock_;
};

}  // namespace zorvd
