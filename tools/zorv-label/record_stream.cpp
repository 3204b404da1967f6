#include "record_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>

#include "admin_client.h"
#include "protocol/limits.h"
#include "protocol/members.h"
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
    const zorv::protocol::Member& member = zorv::protocol::admin::Records;
    try {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw Failure(kRefused, std::string("cannot make a pipe: ") + std::strerror(errno));
        zorv::detail::FileDescriptor reading(ends[0]), writing(ends[1]);
        const auto deadline = Clock::now() + std::chrono::milliseconds(member.timeoutMs);
        AdminClient admin;
        AdminClient::Message call = AdminClient::newCall(member.name);
        const char* pathText = path.c_str();
        const int fd = writing.get();
        if (!dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &kind, DBUS_TYPE_STRING, &pathText,
                                      DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID))
            throw std::bad_alloc();
        AdminClient::Pending pending = admin.send(call.get(), member.timeoutMs);
        // From here on only the service holds the writing end: the pipe ends
        // when it is done, or when the call goes nowhere.
        call.reset();
        writing.reset();
        readRecords(reading.get(), deadline, each);
        AdminClient::Message reply = admin.wait(std::move(pending));
        if (!dbus_message_has_signature(reply.get(), member.out))
            throw Failure(kRefused, std::string("the service answered ") + member.name + " with something else");
    } catch (const Failure& f) {
        throw Failure(f.code, context + ": " + f.what());
    }
}

}  // namespace zorvtool
