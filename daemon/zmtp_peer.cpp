#include "zmtp_peer.h"

#include <strings.h>

#include <limits>

#include "notify_topics.h"

namespace zorvd {

namespace {

constexpr std::size_t kGreetingSize = 64;
constexpr unsigned char kMore = 0x01, kLong = 0x02, kCommand = 0x04;

void appendFrame(std::string& out, unsigned char flags, const std::string& body) {
    if (body.size() > 255) {
        out += static_cast<char>(flags | kLong);
        for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>(uint64_t(body.size()) >> shift);
    } else {
        out += static_cast<char>(flags);
        out += static_cast<char>(body.size());
    }
    out += body;
}

uint64_t bigEndian(std::string_view bytes, std::size_t at, int size) {
    uint64_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Signature, version 3.0, the NULL mechanism, not a server.
std::string greeting() {
    std::string g(kGreetingSize, '\0');
    g[0] = '\xff';
    g[9] = '\x7f';
    g[10] = 3;
    g.replace(12, 4, "NULL");
    return g;
}

std::string command(const std::string& name, const std::string& data) {
    return static_cast<char>(name.size()) + name + data;
}

// The peer's greeting: a ZMTP signature, version 3 or later, NULL mechanism.
bool validGreeting(const std::string& g) {
    return static_cast<unsigned char>(g[0]) == 0xff && (g[9] & 1) && g[10] >= 3 &&
           g.compare(12, 20, std::string("NULL") + std::string(16, '\0')) == 0;
}

// The properties of a READY command name a subscribing socket type.
bool fromSubscriber(std::string_view properties) {
    std::string_view type;
    for (std::size_t at = 0; at < properties.size();) {
        const std::size_t nameSize = static_cast<unsigned char>(properties[at]);
        if (properties.size() - at < 1 + nameSize + 4) return false;
        const std::string name(properties.substr(at + 1, nameSize));
        at += 1 + nameSize;
        const uint64_t valueSize = bigEndian(properties, at, 4);
        at += 4;
        if (valueSize > properties.size() - at) return false;
        if (strcasecmp(name.c_str(), "Socket-Type") == 0) type = properties.substr(at, valueSize);
        at += valueSize;
    }
    return type == "SUB" || type == "XSUB";
}

}  // namespace

ZmtpPeer::ZmtpPeer() : subscriptions_(topicPrefixes().size(), 0) {
    out_ = greeting();
    std::string ready = "\x0bSocket-Type";
    ready += std::string("\0\0\0\3PUB", 7);
    appendFrame(out_, kCommand, command("READY", ready));
}

bool ZmtpPeer::take(const char* data, std::size_t size) {
    if (stage_ == Stage::Refused) return false;
    in_.append(data, size);
    if (takeFrames()) return true;
    stage_ = Stage::Refused;
    std::string().swap(in_);
    return false;
}

// Takes the greeting and every whole frame in in_; a partial one waits there
// for the rest.
bool ZmtpPeer::takeFrames() {
    if (stage_ == Stage::Greeting) {
        // What does not start as a greeting is refused at its first byte.
        if (in_.size() < kGreetingSize) return in_.empty() || static_cast<unsigned char>(in_[0]) == 0xff;
        if (!validGreeting(in_)) return false;
        in_.erase(0, kGreetingSize);
        stage_ = Stage::Handshake;
    }
    std::size_t at = 0;
    while (in_.size() - at >= 2) {
        const unsigned char flags = in_[at];
        if (flags & ~(kMore | kLong | kCommand)) return false;
        const std::size_t header = (flags & kLong) ? 9 : 2;
        if (in_.size() - at < header) break;
        const uint64_t size = (flags & kLong) ? bigEndian(in_, at + 1, 8) : static_cast<unsigned char>(in_[at + 1]);
        if (size > kMaxInboundFrame) return false;
        if (in_.size() - at - header < size) break;
        if (!takeFrame(flags, std::string_view(in_).substr(at + header, size))) return false;
        at += header + size;
    }
    in_.erase(0, at);
    return true;
}

bool ZmtpPeer::takeFrame(unsigned char flags, std::string_view body) {
    if (flags & kCommand) return takeCommand(body);
    if (stage_ != Stage::Subscribed) return false;
    // A subscription or its cancellation is a message of one frame; other
    // messages from a subscriber mean nothing to a publisher.
    const bool alone = !inMessage_ && !(flags & kMore);
    inMessage_ = flags & kMore;
    if (alone && !body.empty() && (body[0] == 1 || body[0] == 0)) count(body.substr(1), body[0] == 1);
    return true;
}

bool ZmtpPeer::takeCommand(std::string_view body) {
    if (body.empty() || body.size() < 1u + static_cast<unsigned char>(body[0])) return false;
    const std::string_view name = body.substr(1, static_cast<unsigned char>(body[0]));
    const std::string_view data = body.substr(1 + name.size());
    if (stage_ == Stage::Handshake) {
        if (name != "READY" || !fromSubscriber(data)) return false;
        stage_ = Stage::Subscribed;
    } else if (name == "SUBSCRIBE" || name == "CANCEL") {  // how ZMTP 3.1 peers may send them
        count(data, name == "SUBSCRIBE");
    } else if (name == "PING" && data.size() >= 2 && out_.size() < kMaxBacklog) {
        appendFrame(out_, kCommand, command("PONG", std::string(data.substr(2, 16))));  // the ping's context
    } else if (name == "ERROR") {
        return false;
    }
    return true;
}

void ZmtpPeer::count(std::string_view prefix, bool subscribe) {
    const int index = topicPrefixIndex(prefix);
    if (index < 0) return;  // matches nothing the service publishes
    uint32_t& n = subscriptions_[index];
    if (subscribe && n < std::numeric_limits<uint32_t>::max()) ++n;
    if (!subscribe && n > 0) --n;
}

bool ZmtpPeer::offer(const std::string& topic, const std::string& payload) {
    if (stage_ != Stage::Subscribed) return true;
    bool wanted = false;
    for (std::size_t n = 0; n <= topic.size() && !wanted; ++n) {
        const int index = topicPrefixIndex(std::string_view(topic).substr(0, n));
        if (index < 0) break;  // no longer prefix of a topic either
        wanted = subscriptions_[index] > 0;
    }
    if (!wanted) return true;
    const std::size_t size = topic.size() + payload.size() + kMessageOverhead;
    if (!out_.empty() && out_.size() + size > kMaxBacklog) return false;
    appendFrame(out_, kMore, topic);
    appendFrame(out_, 0, payload);
    return true;
}

}  // namespace zorvd
