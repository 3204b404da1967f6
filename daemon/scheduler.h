// Runs calls on a small pool of worker threads, fairly among the users who
// make them: each user has a queue of their own and users are served in
// turn; a user other than root runs at most a few calls at once and has only
// a few waiting, and one worker is always left for root. Every call is
// answered by its deadline: one that waits or runs past it is answered with a
// timeout, and a worker held up past a deadline (a file system that never
// answers) is replaced, so that the others keep serving.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bus_credentials.h"
#include "wire.h"

namespace zorvd {

using Clock = std::chrono::steady_clock;

struct Job {
    MessagePtr call;
    Caller caller;
    Clock::time_point deadline;
    std::function<void(Job&)> work;  // answers the call; runs on a worker
    // Whoever claims the job answers it: the worker when it is done, or the
    // watchdog when the deadline has passed.
    bool claim() { return !answered_.exchange(true); }

private:
    friend class Scheduler;
    std::atomic<bool> answered_{false};
    bool late_ = false;  // its worker is held up past the deadline
};

class Scheduler {
public:
    struct Limits {
        unsigned workers = 4;       // threads that serve calls
        unsigned spare = 16;        // more threads to stand in for held-up ones
        unsigned userRunning = 2;   // calls of one user (not root) running at once
        unsigned userQueued = 4;    // calls of one user (not root) waiting
        unsigned rootQueued = 1024;
    };
    // Answers a job whose deadline passed (the watchdog has claimed it).
    using Expire = std::function<void(Job&)>;
    // Runs about once a second on the watchdog's thread.
    using Tick = std::function<void()>;

    Scheduler(const Limits& limits, Expire expire, Tick tick);
    // Waits for every thread; call stop() first where one may be held up.
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // False when the caller already has as many calls waiting as allowed.
    bool submit(std::shared_ptr<Job> job);
    // Takes no more calls, answers the waiting ones with `expire`, and waits
    // up to `grace` for the running ones. False when a worker is still held
    // up: the process must then end without destroying what it uses.
    bool stop(std::chrono::milliseconds grace);

private:
    struct User {
        std::deque<std::shared_ptr<Job>> queued;
        unsigned running = 0;
    };
    struct Worker {
        std::thread thread;
        bool done = false;
    };

    void work(Worker* self);
    void watch();
    std::shared_ptr<Job> pickLocked();
    void spawnLocked();

    const Limits limits_;
    Expire expire_;
    Tick tick_;
    std::mutex mutex_;
    std::condition_variable workReady_, changed_;
    std::map<uint32_t, User> users_;
    uint32_t lastServed_ = 0;
    std::vector<std::shared_ptr<Job>> running_;
    std::list<Worker> workers_;
    unsigned live_ = 0;            // workers not done
    unsigned late_ = 0;            // of them, held up past a deadline
    unsigned activeNotRoot_ = 0;   // running calls of users other than root, not late
    bool stopping_ = false;
    std::thread watchdog_;
};

}  // namespace zorvd
