// Helpers that keep the notification tests bounded: a publisher that repeats
// its messages until told to stop (subscriptions take effect asynchronously),
// and a watchdog that ends the process if a blocking receive never returns.
#pragma once

#include <zorv/labelmgr.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace notifytest {

using Frames = std::vector<std::string>;

const char* const kEndpoint = "ipc:///tmp/zorv_label_manager.socket";

class Watchdog {
public:
    explicit Watchdog(const char* what, std::chrono::seconds limit = std::chrono::seconds(20))
        : thread_([this, what, limit] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
                  std::fprintf(stderr, "watchdog: %s did not finish in time\n", what);
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// Binds a PUB socket on `endpoint` and sends `messages` in rounds, every frame
// but the last of a message with `more`, until destroyed. When `numbered`,
// the last frame of each message gets ":<round>" appended, so that a
// receiver can tell a repeat from a duplicate.
class RepeatingPublisher {
public:
    explicit RepeatingPublisher(std::vector<Frames> messages, bool numbered = false,
                                const std::string& endpoint = kEndpoint)
        : socket_(ZMQSocket::PUB), messages_(std::move(messages)), numbered_(numbered) {
        socket_.bind(endpoint);
        thread_ = std::thread([this] { run(); });
    }
    ~RepeatingPublisher() {
        stop_ = true;
        thread_.join();
    }
    long rounds() const { return rounds_; }

private:
    void run() {
        while (!stop_) {
            for (const Frames& message : messages_) {
                for (size_t i = 0; i + 1 < message.size(); ++i) {
                    socket_.send(message[i], true);
                }
                const std::string& last = message.back();
                socket_.send(numbered_ ? last + ":" + std::to_string(rounds_) : last, false);
            }
            ++rounds_;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    ZMQSocket socket_;
    std::vector<Frames> messages_;
    bool numbered_;
    std::atomic<bool> stop_{false};
    std::atomic<long> rounds_{0};
    std::thread thread_;
};

// One notification's payload read as text; "<failed>" when the call fails.
inline std::string receiveText(void* handle) {
    char* msg = nullptr;
    if (recvLabelChangeMsg(handle, &msg) != 0) return "<failed>";
    std::string text(msg);
    std::free(msg);
    return text;
}

}  // namespace notifytest
