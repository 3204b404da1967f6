// Publishes a label-change notification (topic frame, payload frame) to the
// service's subscribers after each committed change. A thread of its own
// accepts the subscribers' connections, reads their subscriptions and writes
// the notifications, so that no caller of publish ever waits on a subscriber.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

#include "util/file_descriptor.h"
#include "zmtp_peer.h"

namespace zorvd {

class Notifier {
public:
    // Connections a user other than root may hold at once, and in all: a
    // user cannot take every place, nor the service every descriptor.
    static constexpr int kMaxPeersPerUser = 64;
    static constexpr std::size_t kMaxPeers = 512;
    // Places only root's subscribers may take: the users other than root
    // together hold at most kMaxPeers - kRootReserve, so that however many
    // of them fill their share, root's subscribers still get in.
    static constexpr std::size_t kRootReserve = 64;
    // How long a connection may take to send its greeting and READY before
    // it is closed. libzmq gives a handshake ZMQ_HANDSHAKE_IVL (30 s unless
    // set), a time meant for networks; over a local socket its subscriber
    // sends both at once on connecting. A connection still in the handshake
    // after this is no subscriber, only a place held.
    static constexpr std::chrono::seconds kHandshakeLimit{5};
    // How long notifications still waiting when the service stops may take
    // to leave.
    static constexpr int kCloseLingerMs = 1000;

    // Listens on `endpoint` (see notify_listener.h) and starts the thread.
    // Throws std::runtime_error when it cannot.
    explicit Notifier(const std::string& endpoint);
    // Sends what was published and stops.
    ~Notifier();
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;

    // Safe from any thread; notifications leave in the order of the calls.
    // Never blocks: a subscriber too far behind misses notifications. A
    // failure is logged, never thrown: the change it announces has been
    // committed already.
    void publish(const std::string& topic, const std::string& payload) noexcept;

private:
    struct Handshake {
        std::chrono::steady_clock::time_point deadline;
        int fd;
    };
    struct Peer {
        zorv::detail::FileDescriptor fd;
        uid_t uid;
        ZmtpPeer zmtp;
        std::optional<std::list<Handshake>::iterator> inHandshake;  // its entry while the handshake lasts
        bool pollingOutput = false;
        bool slow = false;  // has missed notifications
    };

    void run() noexcept;
    int waitMs() const;
    void acceptPeers();
    bool admits(uid_t uid) const;
    void endHandshakes();
    void serve(int fd, uint32_t events);
    bool flush(Peer& peer);
    void drop(int fd);
    void deliver(const std::deque<std::pair<std::string, std::string>>& notices);
    void linger();

    zorv::detail::FileDescriptor listener_, epoll_, wake_;
    bool listening_ = true;  // false while accepting is paused for lack of descriptors
    std::chrono::steady_clock::time_point resumeAccepting_;
    std::mutex mutex_;
    std::deque<std::pair<std::string, std::string>> queue_;  // guarded by mutex_
    bool stopping_ = false;                                  // guarded by mutex_
    std::unordered_map<int, std::unique_ptr<Peer>> peers_;   // by descriptor
    std::map<uid_t, int> peersOf_;
    std::size_t othersHeld_ = 0;  // connections of users other than root
    // The peers still in the handshake, in the order they were accepted,
    // which is the order of their deadlines too.
    std::list<Handshake> inHandshake_;
    std::set<uid_t> refused_;  // users told about once while at their limit
    std::thread thread_;
};

}  // namespace zorvd
