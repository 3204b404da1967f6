// The service's side of a subscriber's connection, byte by byte: handshake, frames, subscriptions, what it publishes.
#include <gtest/gtest.h>

#include "protocol/notifications.h"
#include "zmtp_frames.h"
#include "zmtp_peer.h"

using zorvd::ZmtpPeer;

namespace {

using namespace zmtp;
const std::string kHandshake = handshake();
std::string cancel(const std::string& prefix) { return frame(0, std::string(1, '\0') + prefix); }
bool take(ZmtpPeer& peer, const std::string& bytes) { return peer.take(bytes.data(), bytes.size()); }

// The topics of which `peer` would now be sent a notification.
std::set<std::string> wanted(ZmtpPeer& peer) {
    std::set<std::string> topics;
    for (const char* topic : zorv::protocol::kNotifyTopics) {
        peer.output().clear();
        EXPECT_TRUE(peer.offer(topic, "{}"));
        if (!peer.output().empty()) topics.insert(topic);
    }
    peer.output().clear();
    return topics;
}

// Only a subscriber gets past the handshake, and one refused stays refused; one admitted is sent what it subscribed to,
// framed, and nothing more once its backlog is full, until it has read some.
TEST(ZmtpPeer, TheHandshakeAdmitsSubscribersOnlyEachSentWhatItSubscribedTo) {
    const std::string refused[] = {
        greeting() + ready("PUB"),
        greeting() + command("READY", "\x0bSocket-Type" + bigEndian(9, 4) + "SUB"),  // a value past the command's end
        greeting() + subscribe("") + ready("SUB"),
        greeting("PLAIN") + ready("SUB"),
        kHandshake + frame(0x08, "x"),  // a flag that is not one
    };
    for (const std::string& bytes : refused) {
        ZmtpPeer peer;
        EXPECT_FALSE(take(peer, bytes)) << testing::PrintToString(bytes);
        EXPECT_FALSE(take(peer, subscribe("")));
    }
    ZmtpPeer peer;
    EXPECT_TRUE(take(peer, greeting() + command("READY", property("Identity", "me") + property("socket-TYPE", "XSUB"))));
    EXPECT_TRUE(peer.handshakeDone());
    ASSERT_TRUE(take(peer, subscribe("o")));
    peer.output().clear();
    EXPECT_TRUE(peer.offer("tid", "{}"));
    EXPECT_TRUE(peer.offer("oid", std::string(255, 'a')));
    EXPECT_TRUE(peer.offer("oid", std::string(256, 'b')));
    EXPECT_EQ(peer.output(), std::string("\x01\x03oid\x00\xff", 7) + std::string(255, 'a') +
                                 std::string("\x01\x03oid\x02\0\0\0\0\0\0\x01\x00", 14) + std::string(256, 'b'));
    const std::string payload(1000, 'c');
    int queued = 0;
    while (peer.offer("oid", payload)) ASSERT_LT(++queued, 1000);
    EXPECT_GT(peer.output().size() + 2 * payload.size(), ZmtpPeer::kMaxBacklog);
    peer.output().erase(0, 5000);
    EXPECT_TRUE(peer.offer("oid", payload));
}

// Subscriptions in every form (short and long frames, a message's second frame, newer peers' commands), counted and
// cancelled, read alike wherever the reads split the stream.
TEST(ZmtpPeer, FramesAreReadWhereverTheReadsSplitThem) {
    const std::string stream = kHandshake + subscribe("ti") + frame(0, "\x01oid", true) + frame(0x01, "\x01sid") +
                               frame(0, "\x01pkgid") + frame(0, '\x01' + std::string(ZmtpPeer::kMaxInboundFrame - 1, 'x')) +
                               command("SUBSCRIBE", "label") + subscribe("p") + subscribe("p") + cancel("p") +
                               cancel("sys") + subscribe("sys") + command("CANCEL", "sys") + cancel("i") + subscribe("i");
    const std::set<std::string> expected{"tid", "oid", "label", "pkgid", "package", "inheritflag"};
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        ZmtpPeer peer;
        ASSERT_TRUE(take(peer, stream.substr(0, split)));
        ASSERT_EQ(peer.handshakeDone(), split >= kHandshake.size());
        ASSERT_TRUE(take(peer, stream.substr(split)));
        ASSERT_EQ(wanted(peer), expected) << "split after " << split;
    }
    // A frame over the limit is refused at its header, before its body came.
    for (uint64_t size : {uint64_t(ZmtpPeer::kMaxInboundFrame) + 1, ~uint64_t(0)}) {
        ZmtpPeer peer;
        EXPECT_TRUE(take(peer, kHandshake + "\x02"));
        EXPECT_FALSE(take(peer, bigEndian(size, 8))) << size;
    }
}

}  // namespace
