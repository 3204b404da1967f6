#include "client/service_names.h"
#include "log/log.h"
#include "notify/zmq_handles.h"

#include <cstdlib>
#include <cstring>
#include <exception>

using zorv::notify::Frame;

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

// Reads the next well-formed notification (topic frame, payload frame) into
// `payload`. A message of one frame is dropped, and frames after the second
// are read off, so that one malformed message never shifts the ones after it.
void receiveNotification(void* socket, Frame& payload) {
    Frame topic;
    for (;;) {
        receiveOrThrow(topic, socket);
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

void* createSubscriber() { return new ZMQSocket(ZMQSocket::SUB); }

void destroySubscriber(void* handle) { delete static_cast<ZMQSocket*>(handle); }

int subscribeLabelChangeMsg(void* handle, const std::string& topic) {
    if (!present(__func__, handle, "handle")) return -1;
    auto& subscriber = *static_cast<ZMQSocket*>(handle);
    try {
        subscriber.connect(zorv::protocol::kNotifyEndpoint);
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
