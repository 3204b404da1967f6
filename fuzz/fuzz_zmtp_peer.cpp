// The service's side of a subscriber's connection fed a hostile peer's bytes (after four that seed the choices) in
// reads of any size, publishing between: no crash, bounded output, a dropped notification changes nothing, a refused
// peer stays refused, and it ends as the same bytes in one read end.
#include <algorithm>
#include <iterator>
#include <string>

#include "fuzz_support.h"
#include "notify_topics.h"
#include "zmtp_peer.h"

namespace {

using zorvd::ZmtpPeer;

struct Choices {
    uint32_t state;
    uint32_t next() {  // xorshift32
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    std::size_t below(std::size_t n) { return next() % n; }
};

// Topics the service publishes, and two it never does.
std::string topic(Choices& choose) {
    const std::size_t n = std::size(zorvd::kNotifyTopics);
    const std::size_t pick = choose.below(n + 2);
    return pick < n ? zorvd::kNotifyTopics[pick] : pick == n ? "" : "tidy";
}

// Payloads at the frame-size boundaries, and ones that fill the backlog.
const std::string& payload(Choices& choose) {
    static const std::string payloads[] = {"", std::string(255, 'p'), std::string(256, 'p'), std::string(4000, 'p'),
                                           std::string(ZmtpPeer::kMaxBacklog + 1, 'p')};
    return payloads[choose.below(std::size(payloads))];
}

// A pong answers a ping while the backlog is under its limit.
constexpr std::size_t kLargestPong = 2 + 5 + 16;

// What `peer` would write for a notification under each topic.
std::string notified(ZmtpPeer& peer) {
    std::string all;
    for (const char* name : zorvd::kNotifyTopics) {
        peer.output().clear();
        zorvfuzz::require(peer.offer(name, "{}"));
        all += name + (':' + peer.output()) + '\n';
    }
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    Choices choose{(uint32_t(data[0]) << 24 | uint32_t(data[1]) << 16 | uint32_t(data[2]) << 8 | data[3]) | 1};
    const char* stream = reinterpret_cast<const char*>(data + 4);
    const std::size_t length = size - 4;

    ZmtpPeer split;
    std::size_t largestMessage = 0;
    bool refused = false, done = false;
    for (std::size_t at = 0; at < length && !refused;) {
        static const std::size_t readSizes[] = {1, 2, 9, 64, 4096};
        const std::size_t n = std::min(length - at, 1 + choose.below(readSizes[choose.below(std::size(readSizes))]));
        refused = !split.take(stream + at, n);
        at += n;
        if (refused) {
            zorvfuzz::require(!split.take(stream + at, length - at) && !split.take(nullptr, 0));
            break;
        }
        zorvfuzz::require(!done || split.handshakeDone());
        done = split.handshakeDone();
        std::string& out = split.output();
        switch (choose.below(4)) {
        case 0: {
            const std::size_t before = out.size();
            const std::string name = topic(choose);
            const std::string& body = payload(choose);
            const bool kept = split.offer(name, body);
            zorvfuzz::require(kept || out.size() == before);
            zorvfuzz::require(done || out.size() == before);  // before the handshake nothing is wanted
            largestMessage = std::max(largestMessage, name.size() + body.size() + ZmtpPeer::kMessageOverhead);
            break;
        }
        case 1:
            out.erase(0, choose.below(out.size() + 1));  // what the socket took
            break;
        case 2:
            zorvfuzz::require(split.take(stream + at, 0));
            break;
        }
        zorvfuzz::require(out.size() <= std::max(ZmtpPeer::kMaxBacklog + kLargestPong, largestMessage));
    }

    // However the reads split the bytes, the peer ends in the same state.
    ZmtpPeer whole;
    zorvfuzz::require(whole.take(stream, length) != refused);
    zorvfuzz::require(whole.handshakeDone() == split.handshakeDone());
    zorvfuzz::require(notified(whole) == notified(split));
    return 0;
}
