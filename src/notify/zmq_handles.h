// Small owners of libzmq handles, one per kind, so that every path out of a
// function releases what it acquired.
#pragma once

#include <zorv/labelmgr.hpp>

#include <zmq.h>

#include <cstddef>

namespace zorv {
namespace notify {

// Owns a libzmq context until it is released to a longer-lived owner.
class Context {
public:
    Context() : handle_(zmq_ctx_new()) {}
    ~Context() { terminate(handle_); }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    void* get() const { return handle_; }
    void* release() {
        void* handle = handle_;
        handle_ = nullptr;
        return handle;
    }

    // Waits for the context's sockets to close; a signal does not cut the
    // wait short, or the context would leak.
    static void terminate(void* handle) noexcept {
        if (handle == nullptr) return;
        while (zmq_ctx_term(handle) != 0 && zmq_errno() == EINTR) {
        }
    }

private:
    void* handle_;
};

// One message frame, closed when it goes out of scope. A frame received into
// again replaces its content.
class Frame {
public:
    Frame() { zmq_msg_init(&msg_); }
    ~Frame() { zmq_msg_close(&msg_); }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // Gives the frame `size` bytes of room; false when libzmq has no memory.
    bool resize(std::size_t size) {
        zmq_msg_close(&msg_);
        if (zmq_msg_init_size(&msg_, size) == 0) return true;
        zmq_msg_init(&msg_);
        return false;
    }

    bool receive(void* socket, int flags = 0) { return zmq_msg_recv(&msg_, socket, flags) != -1; }
    bool send(void* socket, int flags) { return zmq_msg_send(&msg_, socket, flags) != -1; }

    char* data() { return static_cast<char*>(zmq_msg_data(&msg_)); }
    std::size_t size() { return zmq_msg_size(&msg_); }
    bool more() const { return zmq_msg_more(&msg_) != 0; }

private:
    zmq_msg_t msg_;
};

}  // namespace notify
}  // namespace zorv

// The library's notification reader works on frames, below ZMQSocket::recv.
struct ZMQSocketAccess {
    static void* socket(ZMQSocket& s) { return s.socket; }
    static void* context(ZMQSocket& s) { return s.context; }
};
