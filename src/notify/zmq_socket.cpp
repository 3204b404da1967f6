#include "notify/zmq_handles.h"

#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <utility>

using zorv::notify::Context;
using zorv::notify::Frame;

namespace zorv {
namespace notify {

namespace {

struct Watch {
    void* monitor;
    int connections;
};

struct Watches {
    std::mutex mutex;
    std::unordered_map<void*, Watch> bySocket;
};

Watches& watches() {
    static Watches* all = new Watches;  // used by destructors up to process exit
    return *all;
}

}  // namespace

bool watchConnections(void* context, void* socket) {
    char endpoint[64];
    std::snprintf(endpoint, sizeof endpoint, "inproc://zorv-subscriber-monitor-%p", socket);
    if (zmq_socket_monitor(socket, endpoint, ZMQ_EVENT_DISCONNECTED) != 0) return false;
    void* monitor = zmq_socket(context, ZMQ_PAIR);
    if (monitor == nullptr || zmq_connect(monitor, endpoint) != 0) {
        if (monitor != nullptr) zmq_close(monitor);
        zmq_socket_monitor(socket, nullptr, 0);
        return false;
    }
    Watches& all = watches();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.bySocket[socket] = Watch{monitor, 0};
    return true;
}

void* monitorOf(void* socket) {
    Watches& all = watches();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto found = all.bySocket.find(socket);
    return found == all.bySocket.end() ? nullptr : found->second.monitor;
}

void countConnection(void* socket) {
    Watches& all = watches();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto found = all.bySocket.find(socket);
    if (found != all.bySocket.end()) ++found->second.connections;
}

int connectionsOf(void* socket) {
    Watches& all = watches();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto found = all.bySocket.find(socket);
    return found == all.bySocket.end() ? 0 : found->second.connections;
}

void stopWatching(void* socket) noexcept {
    void* monitor = nullptr;
    {
        Watches& all = watches();
        std::lock_guard<std::mutex> lock(all.mutex);
        auto found = all.bySocket.find(socket);
        if (found == all.bySocket.end()) return;
        monitor = found->second.monitor;
        all.bySocket.erase(found);
    }
    zmq_socket_monitor(socket, nullptr, 0);
    const int linger = 0;
    zmq_setsockopt(monitor, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(monitor);
}

}  // namespace notify
}  // namespace zorv

ZMQSocket::ZMQSocket(socketType type) : context(nullptr), socket(nullptr) {
    Context owned;
    if (owned.get() == nullptr) {
        throw std::runtime_error("Failed to create ZMQ context.");
    }
    void* created = zmq_socket(owned.get(), static_cast<int>(type));
    if (created == nullptr) {
        // `owned` terminates the context on the way out.
        throw std::runtime_error("Failed to create ZMQ socket.");
    }
    socket = created;
    context = owned.release();
}

ZMQSocket::~ZMQSocket() { release(); }

ZMQSocket::ZMQSocket(ZMQSocket&& other) noexcept
    : context(std::exchange(other.context, nullptr)), socket(std::exchange(other.socket, nullptr)) {}

ZMQSocket& ZMQSocket::operator=(ZMQSocket&& other) noexcept {
    if (this != &other) {
        release();
        context = std::exchange(other.context, nullptr);
        socket = std::exchange(other.socket, nullptr);
    }
    return *this;
}

// The sockets go first: terminating a context waits for them.
void ZMQSocket::release() noexcept {
    if (socket != nullptr) {
        zorv::notify::stopWatching(socket);
        // libzmq's default waits for ever when a peer stopped reading.
        const int linger = kCloseLingerMs;
        zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
        zmq_close(socket);
        socket = nullptr;
    }
    Context::terminate(std::exchange(context, nullptr));
}

void ZMQSocket::bind(const std::string& address) {
    if (zmq_bind(socket, address.c_str()) != 0) {
        throw std::runtime_error("Failed to bind socket.");
    }
}

void ZMQSocket::connect(const std::string& address) {
    if (zmq_connect(socket, address.c_str()) != 0) {
        throw std::runtime_error("Failed to connect socket.");
    }
}

void ZMQSocket::send(const std::string& message, bool more) {
    Frame frame;
    if (!frame.resize(message.size())) {
        throw std::runtime_error("Failed to send message.");
    }
    message.copy(frame.data(), message.size());
    if (!frame.send(socket, more ? ZMQ_SNDMORE : 0)) {
        throw std::runtime_error("Failed to send message.");
    }
}

std::string ZMQSocket::recv() {
    Frame frame;
    if (!frame.receive(socket)) {
        throw std::runtime_error("Failed to receive message.");
    }
    return std::string(frame.data(), frame.size());
}

void ZMQSocket::subscribe(const std::string& topic) {
    if (zmq_setsockopt(socket, ZMQ_SUBSCRIBE, topic.data(), topic.size()) != 0) {
        throw std::runtime_error("Failed to set subscription filter.");
    }
}
