#include "notifier.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "log/log.h"
#include "notify_listener.h"
#include "notify_topics.h"

namespace zorvd {

using zorv::detail::FileDescriptor;

namespace {

constexpr int kReadsPerTurn = 16;    // then other peers get their turn
constexpr int kAcceptPauseMs = 100;  // out of descriptors: try again after this

bool watch(int epoll, int op, int fd, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    if (::epoll_ctl(epoll, op, fd, &event) == 0) return true;
    ZLOG_ERROR("epoll_ctl: %s", std::strerror(errno));
    return false;
}

}  // namespace

Notifier::Notifier(const std::string& endpoint)
    : listener_(listenForSubscribers(endpoint)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (!epoll_.valid() || !wake_.valid() || !watch(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), EPOLLIN) ||
        !watch(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), EPOLLIN))
        throw std::runtime_error(std::string("cannot wait for subscribers: ") + std::strerror(errno));
    thread_ = std::thread(&Notifier::run, this);
    ZLOG_INFO("publishing label changes on %s", endpoint.c_str());
}

Notifier::~Notifier() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    const uint64_t one = 1;
    if (::write(wake_.get(), &one, sizeof one) < 0) ZLOG_ERROR("cannot wake the notifier: %s", std::strerror(errno));
    thread_.join();
}

void Notifier::publish(const std::string& topic, const std::string& payload) noexcept {
    if (!isNotifyTopic(topic)) ZLOG_ERROR("%s is not among the notification topics; its subscribers miss it", topic.c_str());
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.emplace_back(topic, payload);
    } catch (const std::exception& e) {
        ZLOG_ERROR("notification %s not sent: %s", topic.c_str(), e.what());
        return;
    }
    const uint64_t one = 1;
    if (::write(wake_.get(), &one, sizeof one) < 0) ZLOG_ERROR("cannot wake the notifier: %s", std::strerror(errno));
}

void Notifier::run() noexcept {
    std::deque<std::pair<std::string, std::string>> notices;
    epoll_event events[64];
    for (;;) {
        const int n = ::epoll_wait(epoll_.get(), events, 64, waitMs());
        if (n < 0 && errno != EINTR) ZLOG_ERROR("epoll_wait: %s", std::strerror(errno));
        if (!listening_ && std::chrono::steady_clock::now() >= resumeAccepting_) {
            listening_ = watch(epoll_.get(), EPOLL_CTL_ADD, listener_.get(), EPOLLIN);
            resumeAccepting_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener_.get()) {
                acceptPeers();
            } else if (fd == wake_.get()) {
                uint64_t count = 0;
                if (::read(fd, &count, sizeof count) < 0 && errno != EAGAIN) ZLOG_ERROR("eventfd: %s", std::strerror(errno));
            } else {
                serve(fd, events[i].events);
            }
        }
        endHandshakes();
        bool stop = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            notices.swap(queue_);
            stop = stopping_;
        }
        deliver(notices);
        notices.clear();
        if (stop) return linger();
    }
}

// How long to wait for events: until accepting resumes after a pause, or
// until the oldest handshake's deadline, whichever is first.
int Notifier::waitMs() const {
    std::optional<std::chrono::steady_clock::time_point> wake;
    if (!listening_) wake = resumeAccepting_;
    if (!inHandshake_.empty() && (!wake || inHandshake_.front().deadline < *wake)) wake = inHandshake_.front().deadline;
    if (!wake) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*wake - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void Notifier::acceptPeers() {
    for (;;) {
        FileDescriptor fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) return;
            ZLOG_WARN("cannot accept a subscriber: %s", std::strerror(errno));
            listening_ = !watch(epoll_.get(), EPOLL_CTL_DEL, listener_.get(), 0);
            resumeAccepting_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
            return;
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) continue;
        if (!admits(peer.uid)) {
            if (refused_.insert(peer.uid).second)
                ZLOG_WARN("refusing subscribers of uid %u: too many connections", static_cast<unsigned>(peer.uid));
            continue;
        }
        const int key = fd.get();
        const auto entry =
            inHandshake_.insert(inHandshake_.end(), Handshake{std::chrono::steady_clock::now() + kHandshakeLimit, key});
        Peer& added = *(peers_[key] = std::unique_ptr<Peer>(new Peer{std::move(fd), peer.uid, ZmtpPeer(), entry}));
        ++peersOf_[peer.uid];
        if (peer.uid != 0) ++othersHeld_;
        if (!watch(epoll_.get(), EPOLL_CTL_ADD, key, EPOLLIN) || !flush(added)) drop(key);
    }
}

// Root's subscribers may take every place; another user's take one of that
// user's own and of the share of all users but root.
bool Notifier::admits(uid_t uid) const {
    if (peers_.size() >= kMaxPeers) return false;
    if (uid == 0) return true;
    auto held = peersOf_.find(uid);
    return othersHeld_ < kMaxPeers - kRootReserve && (held == peersOf_.end() || held->second < kMaxPeersPerUser);
}

// Closes the connections whose handshake is past its deadline.
void Notifier::endHandshakes() {
    const auto now = std::chrono::steady_clock::now();
    while (!inHandshake_.empty() && inHandshake_.front().deadline <= now) {
        const int fd = inHandshake_.front().fd;
        inHandshake_.pop_front();
        auto found = peers_.find(fd);
        if (found == peers_.end()) continue;
        found->second->inHandshake.reset();
        ZLOG_DEBUG("closed the connection of a subscriber of uid %u: no handshake within %lld s",
                   static_cast<unsigned>(found->second->uid), static_cast<long long>(kHandshakeLimit.count()));
        drop(fd);
    }
}

void Notifier::serve(int fd, uint32_t events) {
    auto found = peers_.find(fd);
    if (found == peers_.end()) return;
    Peer& peer = *found->second;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        char buffer[4096];
        for (int i = 0; i < kReadsPerTurn; ++i) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
            if (n <= 0) return drop(fd);
            if (!peer.zmtp.take(buffer, static_cast<std::size_t>(n))) {
                ZLOG_DEBUG("closed the connection of a subscriber of uid %u: not a subscriber, or a frame over %zu bytes",
                           static_cast<unsigned>(peer.uid), ZmtpPeer::kMaxInboundFrame);
                return drop(fd);
            }
        }
    }
    if (peer.inHandshake && peer.zmtp.handshakeDone()) {
        inHandshake_.erase(*peer.inHandshake);
        peer.inHandshake.reset();
    }
    if (!flush(peer)) drop(fd);
}

// Writes what the socket takes now; the rest waits for it to take more.
bool Notifier::flush(Peer& peer) {
    std::string& out = peer.zmtp.output();
    while (!out.empty()) {
        const ssize_t n = ::send(peer.fd.get(), out.data(), out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        if (n < 0) break;
        out.erase(0, static_cast<std::size_t>(n));
    }
    if (out.empty() != !peer.pollingOutput) return true;
    peer.pollingOutput = !out.empty();
    const uint32_t events = peer.pollingOutput ? EPOLLIN | EPOLLOUT : EPOLLIN;
    return watch(epoll_.get(), EPOLL_CTL_MOD, peer.fd.get(), events);
}

void Notifier::drop(int fd) {
    auto found = peers_.find(fd);
    if (found == peers_.end()) return;
    const uid_t uid = found->second->uid;
    if (found->second->inHandshake) inHandshake_.erase(*found->second->inHandshake);
    peers_.erase(found);  // closing the descriptor ends its watch
    if (uid != 0) --othersHeld_;
    auto held = peersOf_.find(uid);
    if (held != peersOf_.end() && --held->second == 0) peersOf_.erase(held);
    refused_.erase(uid);
}

void Notifier::deliver(const std::deque<std::pair<std::string, std::string>>& notices) {
    if (notices.empty()) return;
    std::vector<int> gone;
    for (auto& [fd, peer] : peers_) {
        bool dropped = false;
        for (const auto& [topic, payload] : notices) dropped = !peer->zmtp.offer(topic, payload) || dropped;
        if (dropped && !peer->slow)
            ZLOG_WARN("a subscriber of uid %u reads too slowly: notifications are dropped for it",
                      static_cast<unsigned>(peer->uid));
        peer->slow = peer->slow || dropped;
        if (!flush(*peer)) gone.push_back(fd);
    }
    for (int fd : gone) drop(fd);
}

// At the end: no new subscriber; what waits for the others gets a bounded
// time to leave.
void Notifier::linger() {
    listener_.reset();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseLingerMs);
    epoll_event events[64];
    for (;;) {
        bool waiting = false;
        for (const auto& entry : peers_) waiting = waiting || !entry.second->zmtp.output().empty();
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (!waiting || left.count() <= 0) return;
        const int n = ::epoll_wait(epoll_.get(), events, 64, static_cast<int>(left.count()));
        for (int i = 0; i < n; ++i)
            if (events[i].data.fd != wake_.get()) serve(events[i].data.fd, events[i].events);
    }
}

}  // namespace zorvd
