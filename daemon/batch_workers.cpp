#include "batch_workers.h"

#include <algorithm>
#include <system_error>

namespace zorvd {

BatchWorkers::BatchWorkers(unsigned helpers, std::size_t chunk, std::function<void(std::size_t)> work)
    : work_(std::move(work)), chunk_(chunk > 0 ? chunk : 1) {
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
    if (published_ - claimed_ > backlog) runChunk(lock);
}

void BatchWorkers::finish() noexcept {
    std::unique_lock<std::mutex> lock(mutex_);
    while (runChunk(lock)) {
    }
    done_.wait(lock, [this] { return completed_ == published_; });
    published_ = claimed_ = completed_ = 0;
}

// Runs the next waiting items, up to a chunk of them, the lock released
// meanwhile; false when none waits.
bool BatchWorkers::runChunk(std::unique_lock<std::mutex>& lock) {
    if (claimed_ == published_) return false;
    const std::size_t first = claimed_, count = std::min(chunk_, published_ - claimed_);
    claimed_ += count;
    lock.unlock();
    for (std::size_t item = first; item < first + count; ++item) work_(item);
    lock.lock();
    completed_ += count;
    if (completed_ == published_) done_.notify_all();
    return true;
}

void BatchWorkers::help() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (runChunk(lock)) continue;
        if (stopping_) return;
        ++idle_;
        waiting_.wait(lock, [this] { return stopping_ || claimed_ < published_; });
        --idle_;
    }
}

}  // namespace zorvd
