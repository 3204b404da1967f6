#include "notify/link.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "log/log.h"
#include "notify/endpoint_trust.h"
#include "notify/zmq_handles.h"

namespace zorv {
namespace notify {

namespace {

constexpr int kEvents = ZMQ_EVENT_CONNECTED | ZMQ_EVENT_CLOSED | ZMQ_EVENT_DISCONNECTED;

// After a lost connection libzmq ends its endpoint with a command of its own,
// sent just after the event, and that command ends every connection to the
// same address, a new one too, without an event. A busy host can hold it up:
// the new connection waits this long after the loss.
constexpr std::chrono::milliseconds kSettleAfterLoss{100};

struct Links {
    std::mutex mutex;
    std::unordered_map<void*, std::unique_ptr<Link>> bySocket;
};

Links& links() {
    static Links* all = new Links;  // used by destructors up to process exit
    return *all;
}

}  // namespace

Link::Link(void* context, void* socket, std::string endpoint) : socket_(socket), endpoint_(std::move(endpoint)) {
    char address[64];
    std::snprintf(address, sizeof address, "inproc://zorv-subscriber-monitor-%p", socket);
    if (zmq_socket_monitor(socket, address, kEvents) != 0) throw std::runtime_error("Failed to watch the socket.");
    monitor_ = zmq_socket(context, ZMQ_PAIR);
    if (monitor_ == nullptr || zmq_connect(monitor_, address) != 0) {
        if (monitor_ != nullptr) zmq_close(monitor_);
        zmq_socket_monitor(socket, nullptr, 0);
        throw std::runtime_error("Failed to watch the socket.");
    }
}

Link::~Link() {
    zmq_socket_monitor(socket_, nullptr, 0);
    const int linger = 0;
    zmq_setsockopt(monitor_, ZMQ_LINGER, &linger, sizeof linger);
    zmq_close(monitor_);
}

void Link::connect() {
    if (state_ != State::Idle || std::chrono::steady_clock::now() - droppedAt_ < kSettleAfterLoss) return;
    std::string why = whyNotTrusted(endpoint_);
    if (!why.empty()) {
        if (why != refusal_)
            Logger::getInstance().warn("subscribeLabelChangeMsg", __LINE__,
                                       "Not connecting to %s: %s. Waiting for the service.", endpoint_.c_str(),
                                       why.c_str());
        refusal_ = std::move(why);
        return;
    }
    refusal_.clear();
    zmq_disconnect(socket_, endpoint_.c_str());  // what is left of a failed attempt, if anything
    if (zmq_connect(socket_, endpoint_.c_str()) != 0) throw std::runtime_error("Failed to connect socket.");
    state_ = State::Connecting;
}

void Link::takeEvents() {
    Frame frame;
    while (frame.receive(monitor_, ZMQ_DONTWAIT)) {
        uint16_t event = 0;
        if (frame.size() >= sizeof event) std::memcpy(&event, frame.data(), sizeof event);
        while (frame.more() && frame.receive(monitor_)) {  // the endpoint's address
        }
        if (event == ZMQ_EVENT_CONNECTED) {
            state_ = State::Connected;
        } else if (event == ZMQ_EVENT_CLOSED && state_ == State::Connecting) {
            state_ = State::Idle;  // nothing listens there (yet)
        } else if (event == ZMQ_EVENT_DISCONNECTED) {
            Logger::getInstance().warn("recvLabelChangeMsg", __LINE__,
                                       "Connection to %s dropped (a frame over %lld bytes, or the publisher went "
                                       "away); connecting again.",
                                       endpoint_.c_str(), kMaxNotificationFrame);
            state_ = State::Idle;
            droppedAt_ = std::chrono::steady_clock::now();
        }
    }
}

void addLink(void* socket, std::unique_ptr<Link> link) {
    Links& all = links();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.bySocket[socket] = std::move(link);
}

Link* linkOf(void* socket) {
    Links& all = links();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto found = all.bySocket.find(socket);
    return found == all.bySocket.end() ? nullptr : found->second.get();
}

void removeLink(void* socket) noexcept {
    std::unique_ptr<Link> link;
    Links& all = links();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto found = all.bySocket.find(socket);
    if (found == all.bySocket.end()) return;
    link = std::move(found->second);
    all.bySocket.erase(found);
}

}  // namespace notify
}  // namespace zorv
