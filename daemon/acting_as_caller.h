// Looking at the file system as a caller would: the calling thread takes on
// the caller's file-system user, group and supplementary groups, so that the
// kernel itself decides which directories the caller may search. Linux keeps
// these per thread; the process's other threads are not affected.
#pragma once

#include <sys/types.h>

#include <vector>

#include "bus_credentials.h"

namespace zorvd {

class AsCaller {
public:
    // Whether this process can look at files as `caller` at all: root can take
    // on any identity; a service run by another user only its own (a test).
    static bool possible(const Caller& caller);
    // Whether looking as `caller` differs from looking as the service.
    static bool needed(const Caller& caller);

    // Takes on the caller's identity; throws std::runtime_error when the
    // kernel refuses.
    explicit AsCaller(const Caller& caller);
    // Restores the service's own identity. A thread that cannot get it back
    // must not go on working for others: the process ends.
    ~AsCaller();
    AsCaller(const AsCaller&) = delete;
    AsCaller& operator=(const AsCaller&) = delete;

private:
    void restore() noexcept;

    uid_t uid_;
    gid_t gid_;
    std::vector<gid_t> groups_;
};

}  // namespace zorvd
