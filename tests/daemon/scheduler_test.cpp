// The service's pool of workers on its own: calls of one user do not starve
// another's, a user's limits hold, root is served while every other worker is
// held, and a call held past its deadline is answered and its worker replaced.
// The jobs block on gates the test opens; the test's waits on what they do
// have deadlines that fail it instead of hanging it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scheduler.h"

using zorvd::Job;
using zorvd::Scheduler;

namespace {

constexpr auto kPatience = std::chrono::seconds(10);
// How long the test looks for something that must not happen.
constexpr auto kQuiet = std::chrono::milliseconds(300);

// What the jobs did, and a way to wait for it.
class Events {
public:
    void add(const std::string& event) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            log_.push_back(event);
        }
        changed_.notify_all();
    }
    std::size_t count(const std::string& event) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::size_t n = 0;
        for (const std::string& e : log_) n += e == event;
        return n;
    }
    std::vector<std::string> log() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    // True once `event` happened `times` times; false if it did not by `within`.
    bool waitFor(const std::string& event, std::size_t times = 1,
                 std::chrono::milliseconds within = kPatience) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, within, [&] {
            std::size_t n = 0;
            for (const std::string& e : log_) n += e == event;
            return n >= times;
        });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> log_;
};

// A latch that holds the jobs waiting on it until opened (at the latest
// when the pool goes, also after a failed assertion).
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

// A scheduler, its jobs and their gates. Every job logs "start NAME" when a
// worker takes it, then waits on its gate (if any), then "done NAME" when it
// answered its call or "late NAME" when the watchdog had answered it first;
// the watchdog's answers are logged as "expired NAME".
class Pool {
public:
    explicit Pool(const Scheduler::Limits& limits)
        : scheduler_(std::make_unique<Scheduler>(
              limits, [this](Job& job) { events.add("expired " + name(job)); }, nullptr)) {}
    // Opens every gate before the scheduler waits for its workers.
    ~Pool() {
        for (Gate& gate : gates_) gate.open();
        scheduler_.reset();
    }

    Gate& gate() { return gates_.emplace_back(); }
    // Submits job `name` of user `uid`, held by `gate` when given.
    bool submit(const std::string& name, uint32_t uid, Gate* gate = nullptr,
                std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
        auto job = std::make_shared<Job>();
        job->caller.uid = uid;
        job->deadline = zorvd::Clock::now() + deadline;
        job->work = [this, name, gate](Job& self) {
            events.add("start " + name);
            if (gate) gate->wait();
            events.add((self.claim() ? "done " : "late ") + name);
        };
        {
            std::lock_guard<std::mutex> lock(namesMutex_);
            names_[job.get()] = name;
        }
        return scheduler_->submit(std::move(job));
    }
    Scheduler& scheduler() { return *scheduler_; }

    Events events;

private:
    std::string name(const Job& job) {
        std::lock_guard<std::mutex> lock(namesMutex_);
        return names_.at(&job);
    }

    std::list<Gate> gates_;
    std::mutex namesMutex_;
    std::map<const Job*, std::string> names_;
    std::unique_ptr<Scheduler> scheduler_;
};

Scheduler::Limits limits(unsigned workers, unsigned userRunning = 2, unsigned userQueued = 4) {
    Scheduler::Limits l;
    l.workers = workers;
    l.userRunning = userRunning;
    l.userQueued = userQueued;
    return l;
}

constexpr uint32_t kRoot = 0, kAlice = 1000, kBob = 1001, kCarol = 1002;

// A user's calls in flight are counted whole, running and waiting alike: a
// burst is taken or refused the same however quickly workers pick it up.
TEST(Scheduler, OneUserRunsAtMostItsShareAndQueuesAtMostItsLimit) {
    Pool pool(limits(4, 2, 3));
    Gate& held = pool.gate();
    ASSERT_TRUE(pool.submit("a1", kAlice, &held));
    ASSERT_TRUE(pool.submit("a2", kAlice, &held));
    ASSERT_TRUE(pool.events.waitFor("start a1"));
    ASSERT_TRUE(pool.events.waitFor("start a2"));
    for (int i = 3; i <= 5; ++i) ASSERT_TRUE(pool.submit("a" + std::to_string(i), kAlice, &held)) << i;
    EXPECT_FALSE(pool.submit("a6", kAlice)) << "two running and three waiting are all one user may have";

    // Another user is served at once while the first waits for its share.
    ASSERT_TRUE(pool.submit("b1", kBob));
    ASSERT_TRUE(pool.events.waitFor("done b1"));
    EXPECT_FALSE(pool.events.waitFor("start a3", 1, kQuiet)) << "a third call of one user ran with two running";

    held.open();
    for (int i = 3; i <= 5; ++i) EXPECT_TRUE(pool.events.waitFor("done a" + std::to_string(i))) << i;
    EXPECT_TRUE(pool.submit("a7", kAlice)) << "a user's limit is freed as its calls end";
    EXPECT_TRUE(pool.events.waitFor("done a7"));
}

TEST(Scheduler, RootIsNotHeldToTheLimitsOfOtherUsers) {
    Pool pool(limits(4, 1, 1));
    Gate& held = pool.gate();
    for (int i = 1; i <= 6; ++i) EXPECT_TRUE(pool.submit("r" + std::to_string(i), kRoot, &held)) << i;
    for (int i = 1; i <= 4; ++i) ASSERT_TRUE(pool.events.waitFor("start r" + std::to_string(i))) << i;
    held.open();
    for (int i = 1; i <= 6; ++i) EXPECT_TRUE(pool.events.waitFor("done r" + std::to_string(i))) << i;
}

TEST(Scheduler, UsersAreServedInTurn) {
    // Two workers: one for users other than root, so their calls run one at a time.
    Pool pool(limits(2, 2, 4));
    Gate& first = pool.gate();
    ASSERT_TRUE(pool.submit("c1", kCarol, &first));
    ASSERT_TRUE(pool.events.waitFor("start c1"));
    // Bob floods first; Alice's calls, sent after his, take turns with them.
    for (int i = 1; i <= 4; ++i) ASSERT_TRUE(pool.submit("b", kBob));
    for (int i = 1; i <= 2; ++i) ASSERT_TRUE(pool.submit("a", kAlice));
    first.open();
    ASSERT_TRUE(pool.events.waitFor("done b", 4));
    ASSERT_TRUE(pool.events.waitFor("done a", 2));

    std::string order;
    for (const std::string& e : pool.events.log())
        if (e == "start a" || e == "start b") order += e.back();
    EXPECT_EQ(order, "ababbb") << "each user in turn while both have calls waiting";
}

TEST(Scheduler, RootIsServedWhileEveryOtherWorkerIsHeld) {
    Pool pool(limits(3));
    Gate& held = pool.gate();
    ASSERT_TRUE(pool.submit("a1", kAlice, &held));
    ASSERT_TRUE(pool.submit("b1", kBob, &held));
    ASSERT_TRUE(pool.events.waitFor("start a1"));
    ASSERT_TRUE(pool.events.waitFor("start b1"));

    // The last worker is root's: Carol waits, root does not.
    ASSERT_TRUE(pool.submit("c1", kCarol));
    ASSERT_TRUE(pool.submit("r1", kRoot));
    EXPECT_TRUE(pool.events.waitFor("done r1"));
    EXPECT_TRUE(pool.submit("r2", kRoot));
    EXPECT_TRUE(pool.events.waitFor("done r2"));
    EXPECT_EQ(pool.events.count("start c1"), 0u);

    held.open();
    EXPECT_TRUE(pool.events.waitFor("done c1"));
}

TEST(Scheduler, CallHeldPastItsDeadlineIsAnsweredAndItsWorkerReplaced) {
    // One worker for users other than root and one for root; the first is
    // held by a call that does not end in time (a file system that does not
    // answer, say).
    Pool pool(limits(2));
    Gate& stuck = pool.gate();
    ASSERT_TRUE(pool.submit("a1", kAlice, &stuck, std::chrono::milliseconds(50)));
    ASSERT_TRUE(pool.events.waitFor("start a1"));
    Gate& held = pool.gate();
    ASSERT_TRUE(pool.submit("b1", kBob, &held));

    EXPECT_TRUE(pool.events.waitFor("expired a1")) << "the caller is answered by the deadline";
    EXPECT_TRUE(pool.events.waitFor("start b1")) << "the late call no longer counts against the others";
    ASSERT_TRUE(pool.submit("r1", kRoot));
    EXPECT_TRUE(pool.events.waitFor("done r1")) << "no worker stood in for the one held up";

    // The held call answers nothing once it ends: its caller has had the timeout.
    stuck.open();
    EXPECT_TRUE(pool.events.waitFor("late a1"));
    EXPECT_EQ(pool.events.count("expired a1"), 1u);
    EXPECT_EQ(pool.events.count("done a1"), 0u);

    // Users other than root are again held to all workers but one.
    ASSERT_TRUE(pool.submit("c1", kCarol));
    EXPECT_FALSE(pool.events.waitFor("start c1", 1, kQuiet)) << "the call that ended late was counted off twice";
    held.open();
    EXPECT_TRUE(pool.events.waitFor("done c1"));
}

TEST(Scheduler, CallWaitingPastItsDeadlineIsAnsweredWithoutRunning) {
    Pool pool(limits(2));
    Gate& held = pool.gate();
    ASSERT_TRUE(pool.submit("a1", kAlice, &held));
    ASSERT_TRUE(pool.events.waitFor("start a1"));
    ASSERT_TRUE(pool.submit("b1", kBob, nullptr, std::chrono::milliseconds(50)));

    EXPECT_TRUE(pool.events.waitFor("expired b1"));
    held.open();
    ASSERT_TRUE(pool.events.waitFor("done a1"));
    ASSERT_TRUE(pool.submit("b2", kBob));
    ASSERT_TRUE(pool.events.waitFor("done b2"));
    EXPECT_EQ(pool.events.count("start b1"), 0u) << "an expired call ran after all";
}

TEST(Scheduler, StopAnswersWaitingCallsAndTellsOfAWorkerStillHeld) {
    Pool pool(limits(2));
    Gate& held = pool.gate();
    ASSERT_TRUE(pool.submit("a1", kAlice, &held));
    ASSERT_TRUE(pool.events.waitFor("start a1"));
    ASSERT_TRUE(pool.submit("b1", kBob));

    EXPECT_FALSE(pool.scheduler().stop(std::chrono::milliseconds(100)));
    EXPECT_EQ(pool.events.count("expired b1"), 1u) << "stop() returns once the waiting calls are answered";
    EXPECT_FALSE(pool.submit("b2", kBob)) << "a stopped scheduler takes no more calls";
    held.open();
    EXPECT_TRUE(pool.scheduler().stop(kPatience));
    EXPECT_EQ(pool.events.count("done a1"), 1u);
    EXPECT_EQ(pool.events.count("start b1"), 0u);
}

}  // namespace
