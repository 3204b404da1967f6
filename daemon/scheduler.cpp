#include "scheduler.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <system_error>

#include "log/log.h"

namespace zorvd {

namespace {

// How often the watchdog looks at deadlines; callers get their timeout reply
// at most this much after the deadline.
constexpr auto kWatchInterval = std::chrono::milliseconds(200);
constexpr int kWatchesPerTick = 5;

}  // namespace

Scheduler::Scheduler(const Limits& limits, Expire expire, Tick tick)
    : limits_(limits), expire_(std::move(expire)), tick_(std::move(tick)) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (unsigned i = 0; i < limits_.workers; ++i) spawnLocked();
    watchdog_ = std::thread([this] { watch(); });
}

Scheduler::~Scheduler() {
    stop(std::chrono::hours(24 * 365));
    if (watchdog_.joinable()) watchdog_.join();
    for (Worker& w : workers_)
        if (w.thread.joinable()) w.thread.join();
}

void Scheduler::spawnLocked() {
    workers_.emplace_back();
    Worker* self = &workers_.back();
    try {
        self->thread = std::thread([this, self] { work(self); });
        ++live_;
    } catch (const std::system_error& e) {
        workers_.pop_back();
        ZLOG_ERROR("cannot start a worker thread: %s", e.what());
    }
}

bool Scheduler::submit(std::shared_ptr<Job> job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        User& user = users_[job->caller.uid];
        // A user's calls in flight are counted whole, running and waiting
        // alike: whether a burst is taken must not hang on how quickly the
        // workers happened to pick its first calls up.
        const bool root = job->caller.root();
        const std::size_t inFlight = user.queued.size() + (root ? 0 : user.running);
        const unsigned cap = root ? limits_.rootQueued : limits_.userQueued + limits_.userRunning;
        if (stopping_ || inFlight >= cap) return false;
        user.queued.push_back(std::move(job));
    }
    workReady_.notify_one();
    return true;
}

// Users in turn, from the one after the last served; root is never held back
// by the limits on the others.
std::shared_ptr<Job> Scheduler::pickLocked() {
    if (users_.empty()) return nullptr;
    auto start = users_.upper_bound(lastServed_);
    for (std::size_t n = 0; n < users_.size(); ++n, ++start) {
        if (start == users_.end()) start = users_.begin();
        User& user = start->second;
        if (user.queued.empty()) continue;
        bool root = start->first == 0;
        if (!root && (user.running >= limits_.userRunning || activeNotRoot_ + 1 >= limits_.workers)) continue;
        std::shared_ptr<Job> job = std::move(user.queued.front());
        user.queued.pop_front();
        ++user.running;
        if (!root) ++activeNotRoot_;
        lastServed_ = start->first;
        return job;
    }
    return nullptr;
}

void Scheduler::work(Worker* self) {
    // The service may run above the usual priority, for the thread that reads
    // the bus; the work of calls (a walk of a large tree, say) does not.
    // Linux keeps the nice value per thread.
    const long thread = ::syscall(SYS_gettid);
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(thread));
    if (errno == 0 && nice < 0) ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), 0);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        std::shared_ptr<Job> job;
        // A worker that stood in for a held-up one leaves once that one is back.
        while (!(live_ > limits_.workers + late_) && !(job = pickLocked())) {
            if (stopping_) break;
            workReady_.wait(lock);
        }
        if (!job) {
            --live_;
            self->done = true;
            changed_.notify_all();
            return;
        }
        running_.push_back(job);
        lock.unlock();
        job->work(*job);
        lock.lock();
        running_.erase(std::find(running_.begin(), running_.end(), job));
        User& user = users_[job->caller.uid];
        --user.running;
        if (job->late_)
            --late_;
        else if (!job->caller.root())
            --activeNotRoot_;
        if (user.running == 0 && user.queued.empty()) users_.erase(job->caller.uid);
        workReady_.notify_all();  // a user's or the pool's limit may have freed a call
        changed_.notify_all();
    }
}

void Scheduler::watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (int round = 1;; ++round) {
        changed_.wait_for(lock, kWatchInterval, [this] { return stopping_; });
        if (stopping_) return;
        const Clock::time_point now = Clock::now();
        std::vector<std::shared_ptr<Job>> expired;
        for (auto it = users_.begin(); it != users_.end();) {
            User& user = it->second;
            auto late = std::stable_partition(user.queued.begin(), user.queued.end(),
                                              [now](const std::shared_ptr<Job>& j) { return j->deadline > now; });
            std::move(late, user.queued.end(), std::back_inserter(expired));
            user.queued.erase(late, user.queued.end());
            it = user.queued.empty() && user.running == 0 ? users_.erase(it) : std::next(it);
        }
        for (const std::shared_ptr<Job>& job : running_) {
            if (job->late_ || job->deadline > now) continue;
            job->late_ = true;
            ++late_;
            if (!job->caller.root()) --activeNotRoot_;
            expired.push_back(job);
            if (live_ < limits_.workers + late_ && live_ < limits_.workers + limits_.spare) spawnLocked();
        }
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (!it->done) {
                ++it;
                continue;
            }
            it->thread.join();  // it has let go of the lock for good
            it = workers_.erase(it);
        }
        lock.unlock();
        for (const std::shared_ptr<Job>& job : expired)
            if (job->claim()) expire_(*job);
        expired.clear();
        if (round % kWatchesPerTick == 0 && tick_) tick_();
        lock.lock();
    }
}

bool Scheduler::stop(std::chrono::milliseconds grace) {
    std::vector<std::shared_ptr<Job>> waiting;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            for (auto& [uid, user] : users_)
                for (std::shared_ptr<Job>& job : user.queued) waiting.push_back(std::move(job));
            for (auto& [uid, user] : users_) user.queued.clear();
        }
    }
    workReady_.notify_all();
    changed_.notify_all();
    for (const std::shared_ptr<Job>& job : waiting)
        if (job->claim()) expire_(*job);
    if (watchdog_.joinable()) watchdog_.join();
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, grace, [this] { return live_ == 0; });
}

}  // namespace zorvd
