// One subscriber's connection as the service speaks to it: ZMTP 3.0 with the
// NULL mechanism, the service in the role of a PUB socket, so that libzmq SUB
// sockets (the library's subscribers) connect to it as to any publisher.
//
// The service does not use libzmq's own publisher for this: it keeps every
// subscription a peer sends, whatever its size and number, for as long as the
// peer stays connected, so that any local user could grow the service's
// memory without bound. Here a peer costs a fixed amount: frames over
// kMaxInboundFrame end the connection, only subscriptions to a prefix of the
// service's topics are kept (as counts), and the output waiting for a peer
// that does not read is capped (further messages are dropped for that peer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zorvd {

class ZmtpPeer {
public:
    // Largest frame taken from a peer: a subscription is one byte and a
    // topic; the handshake carries a few short properties.
    static constexpr std::size_t kMaxInboundFrame = 512;
    // Output kept for a peer beyond what its socket holds; a message that
    // would go past it is dropped for that peer (one always fits when none waits).
    static constexpr std::size_t kMaxBacklog = 64 * 1024;
    // What framing adds to a notification: two frames, each with at most
    // the 9-byte header of a long frame.
    static constexpr std::size_t kMessageOverhead = 2 * 9;

    // The output starts with the service's greeting and handshake.
    ZmtpPeer();

    // Takes bytes read from the peer. False when the peer broke the protocol
    // or is no subscriber: its connection is to be closed, and every later
    // call says so again.
    bool take(const char* data, std::size_t size);

    // Whether the peer has sent its greeting and a subscriber's READY.
    bool handshakeDone() const { return stage_ == Stage::Subscribed; }

    // Queues a notification when the peer subscribed to a prefix of `topic`.
    // False when it was dropped because the peer is too far behind.
    bool offer(const std::string& topic, const std::string& payload);

    // Bytes waiting to be written to the peer; the caller erases what it wrote.
    std::string& output() { return out_; }

private:
    enum class Stage { Greeting, Handshake, Subscribed, Refused };

    bool takeFrames();
    bool takeFrame(unsigned char flags, std::string_view body);
    bool takeCommand(std::string_view body);
    void count(std::string_view prefix, bool subscribe);

    Stage stage_ = Stage::Greeting;
    bool inMessage_ = false;  // between the frames of a message of several
    std::string in_, out_;
    std::vector<uint32_t> subscriptions_;  // per topic prefix, see notify_topics.h
};

}  // namespace zorvd
