#include "batch_workers.h"

#include <system_error>

namespace zorvd {

BatchWorkers::BatchWorkers(unsigned helpers, std::function<void(std::size_t)> work) : work_(std::move(work)) {
    helpers_.reserve(helpers);
    try {
        for (unsigned i = 0; i < helpers; ++i) helpers_.emplace_back([this] { help(); });
    } catch (const std::system_error&) {
        // Fewer helpers than asked for: the caller does the rest itself.
    }
}

BatchWorkers::~BatchWorkers() {
    finish();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    waiting_.notify_all();
    for (std::thread& t : helpers_) t.join();
}

void BatchWorkers::publish(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    published_ = count;
    // Waking a helper costs a system call: only for one that sleeps.
    const bool wake = idle_ > 0;
    lock.unlock();
    if (wake) waiting_.notify_one();
}

void BatchWorkers::helpWhenBehind(std::size_t backlog) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (published_ - claimed_ > backlog) runOne(lock);
}

void BatchWorkers::finish() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    while (runOne(lock)) {
    }
    done_.wait(lock, [this] { return completed_ == published_; });
    published_ = claimed_ = completed_ = 0;
}

// Runs the next waiting item, the lock released meanwhile; false when none waits.
bool BatchWorkers::runOne(std::unique_lock<std::mutex>& lock) {
    if (claimed_ == published_) return false;
    const std::size_t item = claimed_++;
    lock.unlock();
    work_(item);
    lock.lock();
    if (++completed_ == published_) done_.notify_all();
    return true;
}

void BatchWorkers::help() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (runOne(lock)) continue;
        if (stopping_) return;
        ++idle_;
        waiting_.wait(lock, [this] { return stopping_ || claimed_ < published_; });
        --idle_;
    }
}

}  // namespace zorvd
