#include "protocol/service_names.h"
#include "log/log.h"
#include "notify/link.h"
#include "notify/zmq_handles.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>

using zorv::notify::Frame;
using zorv::notify::Link;
using zorv::notify::linkOf;

namespace {

// A null argument is the caller's fault; it is reported, never dereferenced.
bool present(const char* func, const void* pointer, const char* name) {
    if (pointer != nullptr) return true;
    ZLOG_ERROR_FOR(func, "Invalid argument: %s is null.", name);
    return false;
}

void receiveOrThrow(Frame& frame, void* socket) {
    if (!frame.receive(socket)) {
        throw std::runtime_error("Failed to receive message.");
    }
}

// While no connection is up, the wait wakes this often to try again.
constexpr int kRetryMs = 250;

// Waits until a notification can be read, for at most `timeoutMs` (-1: for
// ever), connecting (again) meanwhile as the link allows; false when the time
// ran out. Called between messages only, so no message is cut by a
// reconnection.
bool awaitNotification(void* socket, long timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    Link* link = linkOf(socket);  // null: not from createSubscriber, only the socket is polled
    for (;;) {
        if (link != nullptr) {
            link->takeEvents();
            link->connect();
        }
        long wait = link != nullptr && !link->connected() ? kRetryMs : -1;
        if (timeoutMs >= 0) {
            long left = std::max<long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            wait = wait < 0 ? left : std::min(wait, left);
        }
        zmq_pollitem_t items[] = {{socket, 0, ZMQ_POLLIN, 0}, {link ? link->monitor() : nullptr, 0, ZMQ_POLLIN, 0}};
        if (zmq_poll(items, link ? 2 : 1, wait) < 0) throw std::runtime_error("Failed to receive message.");
        if (items[0].revents & ZMQ_POLLIN) return true;
        if (timeoutMs >= 0 && Clock::now() >= deadline) return false;
    }
}

// Reads the next well-formed notification (topic frame, payload frame) into
// `payload`. A message of one frame is dropped, and frames after the second
// are read off, so that one malformed message never shifts the ones after it.
// A message already waiting is taken at once: the wait, with its poll and its
// look at the connections, is for when none is. False when none came within
// `timeoutMs` (-1: no limit; dropped one-frame messages do not restart it).
bool receiveNotification(void* socket, Frame& payload, long timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Frame topic;
    for (;;) {
        if (!topic.receive(socket, ZMQ_DONTWAIT)) {
            if (zmq_errno() != EAGAIN) throw std::runtime_error("Failed to receive message.");
            long left = timeoutMs;
            if (timeoutMs >= 0) {
                auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
                left = spent < timeoutMs ? timeoutMs - spent : 0;
            }
            if (!awaitNotification(socket, left)) return false;
            receiveOrThrow(topic, socket);
        }
        if (topic.more()) break;
        Logger::getInstance().warn("recvLabelChangeMsg", __LINE__,
                                   "Dropped a notification of one frame (%zu bytes).", topic.size());
    }
    // The frames of one message arrive together, so these reads do not wait.
    receiveOrThrow(payload, socket);
    if (!payload.more()) return true;
    Frame extra;
    int ignored = 0;
    do {
        receiveOrThrow(extra, socket);
        ++ignored;
    } while (extra.more());
    Logger::getInstance().warn("recvLabelChangeMsg", __LINE__,
                               "Ignored %d frame(s) after the payload of a notification.", ignored);
    return true;
}

}  // namespace

void* createSubscriber() {
    auto subscriber = std::make_unique<ZMQSocket>(ZMQSocket::SUB);
    void* socket = ZMQSocketAccess::socket(*subscriber);
    // A larger frame is no label change: libzmq drops the connection that
    // brings it instead of receiving it whole, and the link restores it.
    const int64_t limit = kMaxNotificationFrame;
    const int never = -1;  // the link reconnects, after checking the endpoint again
    if (zmq_setsockopt(socket, ZMQ_MAXMSGSIZE, &limit, sizeof limit) != 0 ||
        zmq_setsockopt(socket, ZMQ_RECONNECT_IVL, &never, sizeof never) != 0) {
        throw std::runtime_error("Failed to set up the subscriber socket.");
    }
    try {
        zorv::notify::addLink(socket, std::make_unique<Link>(ZMQSocketAccess::context(*subscriber), socket,
                                                             zorv::protocol::notifyEndpoint()));
    } catch (const std::runtime_error&) {
        throw std::runtime_error("Failed to set up the subscriber socket.");
    }
    return subscriber.release();
}

void destroySubscriber(void* handle) { delete static_cast<ZMQSocket*>(handle); }

int subscribeLabelChangeMsg(void* handle, const std::string& topic) {
    if (!present(__func__, handle, "handle")) return -1;
    auto& subscriber = *static_cast<ZMQSocket*>(handle);
    try {
        // An endpoint that does not pass the check yet is connected to by
        // recvLabelChangeMsg once it does.
        if (Link* link = linkOf(ZMQSocketAccess::socket(subscriber)))
            link->connect();
        else
            subscriber.connect(zorv::protocol::notifyEndpoint());
        subscriber.subscribe(topic);
    } catch (const std::exception& e) {
        ZLOG_ERROR("Exception: %s", e.what());
        return -1;
    }
    return 0;
}

namespace {

// The receive of recvLabelChangeMsg and recvLabelChangeMsgWithin, logged under `func`.
int receiveCopy(const char* func, void* handle, char** msg, long timeoutMs) {
    if (!present(func, handle, "handle") || !present(func, msg, "msg")) return -1;
    Frame payload;
    try {
        if (!receiveNotification(ZMQSocketAccess::socket(*static_cast<ZMQSocket*>(handle)), payload, timeoutMs))
            return 1;
    } catch (const std::exception& e) {
        ZLOG_ERROR_FOR(func, "Exception: %s", e.what());
        return -1;
    }
    const std::size_t size = payload.size();
    *msg = static_cast<char*>(std::malloc(size + 1));
    if (*msg == nullptr) {
        ZLOG_ERROR_FOR(func, "malloc error.");
        return -1;
    }
    if (size != 0) std::memcpy(*msg, payload.data(), size);
    (*msg)[size] = '\0';
    return 0;
}

}  // namespace

int recvLabelChangeMsg(void* handle, char** msg) { return receiveCopy(__func__, handle, msg, -1); }

int recvLabelChangeMsgWithin(void* handle, char** msg, int timeoutMs) {
    return receiveCopy(__func__, handle, msg, timeoutMs < 0 ? -1 : timeoutMs);
}
