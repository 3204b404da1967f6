// How a subscriber made by createSubscriber reaches the service. libzmq would
// connect to whatever listens on the endpoint, and reconnect there on its own
// after the service stops, so the subscriber's reconnection is off and its
// link connects instead: only to an endpoint that passes whyNotTrusted, once
// at first and again each time the connection is lost (the service stopped
// or restarted, or libzmq dropped it for a frame over the size limit). A
// monitor socket reports the connections made, failed and lost.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace zorv {
namespace notify {

class Link {
public:
    // Throws std::runtime_error when libzmq cannot set up the monitor.
    Link(void* context, void* socket, std::string endpoint);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // Connects unless connected or connecting, or the connection was lost a
    // moment ago, if the endpoint passes the check; a warning says why not,
    // once per reason. Throws std::runtime_error "Failed to connect socket."
    // when libzmq refuses.
    void connect();
    // Takes the monitor's pending events: a connection failed or lost is let
    // go, so that the next connect() makes it again.
    void takeEvents();
    bool connected() const { return state_ == State::Connected; }
    void* monitor() const { return monitor_; }
    const std::string& endpoint() const { return endpoint_; }

private:
    enum class State { Idle, Connecting, Connected };

    void* socket_;
    void* monitor_ = nullptr;
    std::string endpoint_;
    State state_ = State::Idle;
    std::string refusal_;  // the reason last logged for not connecting
    std::chrono::steady_clock::time_point droppedAt_{};  // when the connection was last lost
};

// Registry of the links, by the subscriber's libzmq socket: the public class
// has no room for one.
void addLink(void* socket, std::unique_ptr<Link> link);
// The link of `socket`, or null when it has none (not from createSubscriber).
Link* linkOf(void* socket);
// Closes the link of `socket`, if any.
void removeLink(void* socket) noexcept;

}  // namespace notify
}  // namespace zorv
