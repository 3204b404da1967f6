#include "record_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>

#include "protocol/limits.h"
#include "service_call.h"
#include "tool.h"
#include "util/file_descriptor.h"

namespace zorvtool {

namespace {

using Clock = std::chrono::steady_clock;

// A record is a path (an escaped one takes at most four times the bytes of
// the longest path), a NUL, three numbers and a newline: anything longer is
// not one.
constexpr size_t kLongestRecord = 4 * zorv::protocol::kMaxPathBytes + 64;

[[noreturn]] void readFailed() {
    throw Failure(kRefused, std::string("cannot read the records: ") + std::strerror(errno));
}

[[noreturn]] void unreadable() { throw Failure(kRefused, "the service sent records that the tool cannot read"); }

// The value after the path: one number, or an identifier's three.
ZORV_ID parseValue(const char* begin, const char* end) {
    uint64_t parts[3] = {0, 0, 0};
    int count = 0;
    for (const char* at = begin;;) {
        if (count == 3) unreadable();
        auto [next, ec] = std::from_chars(at, end, parts[count++]);
        if (ec != std::errc()) unreadable();
        if (next == end) break;
        if (*next != ' ') unreadable();
        at = next + 1;
    }
    if (count == 2) unreadable();
    return ZORV_ID{parts[0], parts[1], parts[2]};
}

// Reads the pipe until the service closes its end, handing on each complete
// record; at most the call's time limit.
void readRecords(int fd, Clock::time_point deadline, const RecordVisitor& each) {
    std::string pending;
    std::string path;
    char chunk[1 << 16];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) throw Failure(kRefused, "the label manager service did not answer in time");
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready < 0 && errno != EINTR) readFailed();
        if (ready <= 0) continue;
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) readFailed();
        if (n == 0) break;
        pending.append(chunk, static_cast<size_t>(n));
        size_t at = 0;
        for (;;) {
            // The path may hold a newline; the value that follows its NUL cannot.
            const char* start = pending.data() + at;
            const char* end = pending.data() + pending.size();
            const char* nul = static_cast<const char*>(std::memchr(start, '\0', end - start));
            const char* line = nul ? static_cast<const char*>(std::memchr(nul, '\n', end - nul)) : nullptr;
            if (line == nullptr) break;
            path.assign(start, nul);
            each(path, parseValue(nul + 1, line));
            at = static_cast<size_t>(line + 1 - pending.data());
        }
        pending.erase(0, at);
        if (pending.size() > kLongestRecord) unreadable();
    }
    if (!pending.empty()) unreadable();
}

}  // namespace

void streamRecords(const char* kind, const std::string& path, const std::string& context, const RecordVisitor& each) {
    inContext(context, [&] {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw Failure(kRefused, std::string("cannot make a pipe: ") + std::strerror(errno));
        zorv::detail::FileDescriptor reading(ends[0]), writing(ends[1]);
        using zorv::protocol::admin::Records;
        const auto deadline = Clock::now() + std::chrono::milliseconds(Records.timeoutMs);
        AdminClient admin;
        Call<Records> call(std::string(kind), path, wire::Descriptor{writing.get()});
        // Once the call has left, only the service holds the writing end: the
        // pipe ends when it is done, or when the call goes nowhere.
        call.send(admin);
        writing.reset();
        readRecords(reading.get(), deadline, each);
        uint64_t count = 0;
        call.finish(admin, count);
    });
}

}  // namespace zorvtool
