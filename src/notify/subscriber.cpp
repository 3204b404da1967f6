#include "client/service_names.h"
#include "log/log.h"
#include "notify/link.h"
#include "notify/zmq_handles.h"

#include <cerrno>
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

// Waits until a notification can be read, connecting (again) meanwhile as
// the link allows. Called between messages only, so no message is cut by a
// reconnection.
void awaitNotification(void* socket) {
    Link* link = linkOf(socket);
    if (link == nullptr) return;  // not from createSubscriber: the receive waits
    for (;;) {
        link->takeEvents();
        link->connect();
        zmq_pollitem_t items[] = {{socket, 0, ZMQ_POLLIN, 0}, {link->monitor(), 0, ZMQ_POLLIN, 0}};
        if (zmq_poll(items, 2, link->connected() ? -1 : kRetryMs) < 0)
            throw std::runtime_error("Failed to receive message.");
        if (items[0].revents & ZMQ_POLLIN) return;
    }
}

// Reads the next well-formed notification (topic frame, payload frame) into
// `payload`. A message of one frame is dropped, and frames after the second
// are read off, so that one malformed message never shifts the ones after it.
// A message already waiting is taken at once: the wait, with its poll and its
// look at the connections, is for when none is.
void receiveNotification(void* socket, Frame& payload) {
    Frame topic;
    for (;;) {
        if (!topic.receive(socket, ZMQ_DONTWAIT)) {
            if (zmq_errno() != EAGAIN) throw std::runtime_error("Failed to receive message.");
            awaitNotification(socket);
            receiveOrThrow(topic, socket);
        }
        if (topic.more()) break;
        Logger::getInstance().warn("recvLabelChangeMsg", __LINE__,
                                   "Dropped a notification of one frame (%zu bytes).", topic.size());
    }
    // The frames of one message arrive together, so these reads do not wait.
    receiveOrThrow(payload, socket);
    if (!payload.more()) return;
    Frame extra;
    int ignored = 0;
    do {
        receiveOrThrow(extra, socket);
        ++ignored;
    } while (extra.more());
    Logger::getInstance().warn("recvLabelChangeMsg", __LINE__,
                               "Ignored %d frame(s) after the payload of a notification.", ignored);
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

int recvLabelChangeMsg(void* handle, char** msg) {
    if (!present(__func__, handle, "handle") || !present(__func__, msg, "msg")) return -1;
    Frame payload;
    try {
        receiveNotification(ZMQSocketAccess::socket(*static_cast<ZMQSocket*>(handle)), payload);
    } catch (const std::exception& e) {
        ZLOG_ERROR("Exception: %s", e.what());
        return -1;
    }
    const std::size_t size = payload.size();
    *msg = static_cast<char*>(std::malloc(size + 1));
    if (*msg == nullptr) {
        ZLOG_ERROR("malloc error.");
        return -1;
    }
    if (size != 0) std::memcpy(*msg, payload.data(), size);
    (*msg)[size] = '\0';
    return 0;
}
