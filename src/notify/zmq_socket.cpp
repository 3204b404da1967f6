#include "notify/link.h"
#include "notify/zmq_handles.h"

#include <stdexcept>
#include <utility>

using zorv::notify::Context;
using zorv::notify::Frame;

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
        zorv::notify::removeLink(socket);
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
