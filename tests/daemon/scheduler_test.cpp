// The service's pool of workers on its own; jobs block on gates the test opens, every wait has a deadline that fails.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "scheduler.h"

using zorvd::Job;
using zorvd::Scheduler;

namespace {

constexpr auto kPatience = std::chrono::seconds(10);
constexpr auto kQuiet = std::chrono::milliseconds(300);  // how long to look for what must not happen

struct NamedJob : Job {
    std::string name;
};

// Jobs log "start NAME", wait for their gate, then log "done NAME", or "late NAME" after the watchdog's "expired
// NAME". Every gate opens before the scheduler waits for its workers, also after a failed assertion.
class Pool {
public:
    explicit Pool(unsigned workers, unsigned userRunning = 2, unsigned userQueued = 4) {
        Scheduler::Limits limits;
        limits.workers = workers, limits.userRunning = userRunning, limits.userQueued = userQueued;
        scheduler_ = std::make_unique<Scheduler>(
            limits, [this](Job& job) { add("expired " + static_cast<NamedJob&>(job).name); }, nullptr);
    }
    ~Pool() {
        open("");  // every gate
        scheduler_.reset();
    }

    bool submit(const std::string& name, uint32_t uid, const std::string& gate = "",
                std::chrono::milliseconds deadline = std::chrono::seconds(60)) {
        auto job = std::make_shared<NamedJob>();
        job->name = name;
        job->caller.uid = uid;
        job->deadline = zorvd::Clock::now() + deadline;
        job->work = [this, name, gate](Job& self) {
            add("start " + name);
            if (!gate.empty()) {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [&] { return open_.count("") + open_.count(gate) > 0; });
            }
            add((self.claim() ? "done " : "late ") + name);
        };
        return scheduler_->submit(std::move(job));
    }
    void open(const std::string& gate) { add("open " + gate, &gate); }
    std::size_t count(const std::string& event) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return countLocked(event);
    }
    // True once `event` happened `times` times; false if it did not by `within`.
    bool waitFor(const std::string& event, std::size_t times = 1, std::chrono::milliseconds within = kPatience) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, within, [&] { return countLocked(event) >= times; });
    }
    std::vector<std::string> log() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    Scheduler& scheduler() { return *scheduler_; }

private:
    void add(const std::string& event, const std::string* opened = nullptr) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            log_.push_back(event);
            if (opened) open_.insert(*opened);
        }
        changed_.notify_all();
    }
    std::size_t countLocked(const std::string& event) const {
        std::size_t n = 0;
        for (const std::string& e : log_) n += e == event;
        return n;
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> log_;
    std::set<std::string> open_;
    std::unique_ptr<Scheduler> scheduler_;
};

constexpr uint32_t kRoot = 0, kAlice = 1000, kBob = 1001, kCarol = 1002, kDave = 1003;

// A user's calls in flight count whole, running and waiting alike, however quickly workers pick them up.
TEST(Scheduler, OneUserRunsAtMostItsShareAndQueuesAtMostItsLimit) {
    Pool pool(4, 2, 3);
    ASSERT_TRUE(pool.submit("a1", kAlice, "held"));
    ASSERT_TRUE(pool.submit("a2", kAlice, "held"));
    ASSERT_TRUE(pool.waitFor("start a1"));
    ASSERT_TRUE(pool.waitFor("start a2"));
    for (int i = 3; i <= 5; ++i) ASSERT_TRUE(pool.submit("a" + std::to_string(i), kAlice, "held")) << i;
    EXPECT_FALSE(pool.submit("a6", kAlice)) << "two running and three waiting are all one user may have";

    // Another user is served at once while the first waits for its share.
    ASSERT_TRUE(pool.submit("b1", kBob));
    ASSERT_TRUE(pool.waitFor("done b1"));
    EXPECT_FALSE(pool.waitFor("start a3", 1, kQuiet)) << "a third call of one user ran with two running";

    pool.open("held");
    for (int i = 3; i <= 5; ++i) EXPECT_TRUE(pool.waitFor("done a" + std::to_string(i))) << i;
    EXPECT_TRUE(pool.submit("a7", kAlice)) << "a user's limit is freed as its calls end";
    EXPECT_TRUE(pool.waitFor("done a7"));
}

// Root runs and queues past other users' limits, and the last worker is root's: a user waits while root is served.
TEST(Scheduler, RootIsHeldToNoUserLimitAndHasTheLastWorker) {
    Pool pool(4, 1, 1);
    for (int i = 1; i <= 6; ++i) EXPECT_TRUE(pool.submit("r" + std::to_string(i), kRoot, "root")) << i;
    for (int i = 1; i <= 4; ++i) ASSERT_TRUE(pool.waitFor("start r" + std::to_string(i))) << i;
    pool.open("root");
    for (int i = 1; i <= 6; ++i) EXPECT_TRUE(pool.waitFor("done r" + std::to_string(i))) << i;

    for (uint32_t uid : {kAlice, kBob, kCarol}) ASSERT_TRUE(pool.submit(std::to_string(uid), uid, "held"));
    for (uint32_t uid : {kAlice, kBob, kCarol}) ASSERT_TRUE(pool.waitFor("start " + std::to_string(uid)));
    ASSERT_TRUE(pool.submit("d1", kDave));
    ASSERT_TRUE(pool.submit("r7", kRoot));
    EXPECT_TRUE(pool.waitFor("done r7"));
    EXPECT_TRUE(pool.submit("r8", kRoot));
    EXPECT_TRUE(pool.waitFor("done r8"));
    EXPECT_EQ(pool.count("start d1"), 0u);
    pool.open("held");
    EXPECT_TRUE(pool.waitFor("done d1"));
}

TEST(Scheduler, UsersAreServedInTurn) {
    // Two workers: one for users other than root, so their calls run one at a time.
    Pool pool(2, 2, 4);
    ASSERT_TRUE(pool.submit("c1", kCarol, "first"));
    ASSERT_TRUE(pool.waitFor("start c1"));
    // Bob floods first; Alice's calls, sent after his, take turns with them.
    for (int i = 1; i <= 4; ++i) ASSERT_TRUE(pool.submit("b", kBob));
    for (int i = 1; i <= 2; ++i) ASSERT_TRUE(pool.submit("a", kAlice));
    pool.open("first");
    ASSERT_TRUE(pool.waitFor("done b", 4));
    ASSERT_TRUE(pool.waitFor("done a", 2));

    std::string order;
    for (const std::string& e : pool.log())
        if (e == "start a" || e == "start b") order += e.back();
    EXPECT_EQ(order, "ababbb") << "each user in turn while both have calls waiting";
}

TEST(Scheduler, CallHeldPastItsDeadlineIsAnsweredAndItsWorkerReplaced) {
    // One worker for users other than root, held by a call that does not end in time, and one for root.
    Pool pool(2);
    ASSERT_TRUE(pool.submit("a1", kAlice, "stuck", std::chrono::milliseconds(50)));
    ASSERT_TRUE(pool.waitFor("start a1"));
    ASSERT_TRUE(pool.submit("b1", kBob, "held"));

    EXPECT_TRUE(pool.waitFor("expired a1")) << "the caller is answered by the deadline";
    EXPECT_TRUE(pool.waitFor("start b1")) << "the late call no longer counts against the others";
    ASSERT_TRUE(pool.submit("r1", kRoot));
    EXPECT_TRUE(pool.waitFor("done r1")) << "no worker stood in for the one held up";

    // The held call answers nothing once it ends: its caller has had the timeout.
    pool.open("stuck");
    EXPECT_TRUE(pool.waitFor("late a1"));
    EXPECT_EQ(pool.count("expired a1"), 1u);
    EXPECT_EQ(pool.count("done a1"), 0u);

    // Users other than root are again held to all workers but one.
    ASSERT_TRUE(pool.submit("c1", kCarol));
    EXPECT_FALSE(pool.waitFor("start c1", 1, kQuiet)) << "the call that ended late was counted off twice";
    pool.open("held");
    EXPECT_TRUE(pool.waitFor("done c1"));
}

// A call waiting past its deadline is answered and never runs; stop() answers those waiting, takes no more, and tells
// of a worker still held.
TEST(Scheduler, WaitingCallsAreAnsweredAtTheirDeadlineOrAtStop) {
    Pool pool(2);
    ASSERT_TRUE(pool.submit("a1", kAlice, "first"));
    ASSERT_TRUE(pool.waitFor("start a1"));
    ASSERT_TRUE(pool.submit("b1", kBob, "", std::chrono::milliseconds(50)));
    EXPECT_TRUE(pool.waitFor("expired b1"));
    pool.open("first");
    ASSERT_TRUE(pool.waitFor("done a1"));
    ASSERT_TRUE(pool.submit("b2", kBob));
    ASSERT_TRUE(pool.waitFor("done b2"));

    ASSERT_TRUE(pool.submit("a2", kAlice, "second"));
    ASSERT_TRUE(pool.waitFor("start a2"));
    ASSERT_TRUE(pool.submit("b3", kBob));
    EXPECT_FALSE(pool.scheduler().stop(std::chrono::milliseconds(100)));
    EXPECT_EQ(pool.count("expired b3"), 1u) << "stop() returns once the waiting calls are answered";
    EXPECT_FALSE(pool.submit("b4", kBob)) << "a stopped scheduler takes no more calls";
    pool.open("second");
    EXPECT_TRUE(pool.scheduler().stop(kPatience));
    EXPECT_EQ(pool.count("done a2"), 1u);
    EXPECT_EQ(pool.count("start b1") + pool.count("start b3"), 0u) << "an expired call ran after all";
}

}  // namespace
