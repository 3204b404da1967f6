// Publishes a label-change notification (topic frame, payload frame) on the
// service's ZeroMQ endpoint after each committed change.
#pragma once

#include <zorv/labelmgr.hpp>

#include <string>

namespace zorvd {

class Notifier {
public:
    // Binds the endpoint; a socket file left by a killed service is replaced.
    // Throws std::runtime_error when the endpoint cannot be bound.
    explicit Notifier(const std::string& endpoint);
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Never blocks: libzmq drops the message for a subscriber that has fallen
    // too far behind. A failure is logged, never thrown: the change it
    // announces has been committed already.
    void publish(const std::string& topic, const std::string& payload) noexcept;

private:
    ZMQSocket socket_;
    std::string file_;  // the socket file of an ipc endpoint
};

}  // namespace zorvd
