// A few threads that help one call through a batch of independent items: the
// caller publishes items as it prepares them, the helpers run them as they
// come, a chunk of them per claim, and finish() has the caller run what is
// left and wait until every published item is done. The caller owns the
// items and keeps each one unchanged from its publication until finish()
// returns; the helpers touch nothing else.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zorvd {

class BatchWorkers {
public:
    // `helpers` threads besides the caller's; `work(i)` runs item i and must
    // not throw. A thread claims up to `chunk` waiting items at a time: the
    // lock and the wake-ups are paid per chunk, not per item.
    BatchWorkers(unsigned helpers, std::size_t chunk, std::function<void(std::size_t)> work);
    // Finishes what was published, then ends the helpers.
    ~BatchWorkers();
    BatchWorkers(const BatchWorkers&) = delete;
    BatchWorkers& operator=(const BatchWorkers&) = delete;

    // Items 0 to count - 1 of the batch may be run now.
    void publish(std::size_t count);
    // Runs a chunk of the waiting items on the calling thread, when more than
    // `backlog` wait: a caller that prepares items faster than the helpers
    // run them lends a hand instead of letting them pile up.
    void helpWhenBehind(std::size_t backlog);
    // Runs the waiting items on the calling thread too, and waits for every
    // published one; the next batch starts again from item 0.
    void finish() noexcept;

private:
    void help();
    bool runChunk(std::unique_lock<std::mutex>& lock);

    std::function<void(std::size_t)> work_;
    std::size_t chunk_;
    std::mutex mutex_;
    std::condition_variable waiting_, done_;
    std::size_t published_ = 0, claimed_ = 0, completed_ = 0;
    unsigned idle_ = 0;  // helpers waiting for an item
    bool stopping_ = false;
    std::vector<std::thread> helpers_;
};

}  // namespace zorvd
