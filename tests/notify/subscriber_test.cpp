// Subscriber calls against a publisher bound on the service's endpoint.
#include <zorv/labelmgr.hpp>

#include <log_capture.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

namespace {

using Frames = std::vector<std::string>;

const char* const kSocketFile = "/tmp/zorv_label_manager.socket";

// Sends `messages` in rounds until destroyed: a subscription reaches the
// publisher only some time after it is made.
class RepeatingPublisher {
public:
    explicit RepeatingPublisher(std::vector<Frames> messages)
        : socket_(ZMQSocket::PUB), messages_(std::move(messages)) {
        socket_.bind(std::string("ipc://") + kSocketFile);
        thread_ = std::thread([this] {
            while (!stop_) {
                for (const Frames& frames : messages_) {
                    for (size_t i = 0; i < frames.size(); ++i) socket_.send(frames[i], i + 1 < frames.size());
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~RepeatingPublisher() {
        stop_ = true;
        thread_.join();
    }

private:
    // Destroyed after the socket: libzmq leaves the socket file behind.
    struct SocketFileRemover {
        ~SocketFileRemover() { unlink(kSocketFile); }
    } remover_;
    ZMQSocket socket_;
    std::vector<Frames> messages_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct SubscriberDeleter {
    void operator()(void* handle) const { destroySubscriber(handle); }
};
using Subscriber = std::unique_ptr<void, SubscriberDeleter>;

Subscriber subscribed(const char* topic) {
    Subscriber handle(createSubscriber());
    EXPECT_EQ(subscribeLabelChangeMsg(handle.get(), topic), 0) << topic;
    return handle;
}

// The next notification's buffer: its first `bytes` bytes, or up to the first
// NUL when `bytes` is npos; "<failed>" when the call fails.
std::string receive(void* handle, size_t bytes = std::string::npos) {
    char* msg = nullptr;
    if (recvLabelChangeMsg(handle, &msg) != 0) return "<failed>";
    std::string copy = bytes == std::string::npos ? std::string(msg) : std::string(msg, bytes);
    std::free(msg);
    return copy;
}

// Receives block without a timeout: a lost message ends the process instead.
class Subscription : public ::testing::Test {
protected:
    void SetUp() override { alarm(20); }
    void TearDown() override { alarm(0); }
};

TEST_F(Subscription, SubscribingBeforeThePublisherExistsStillDelivers) {
    Subscriber handle = subscribed("lbl");
    RepeatingPublisher publisher({Frames{"lbl", "x=1"}});
    EXPECT_EQ(receive(handle.get(), 4), std::string("x=1\0", 4));
}

TEST_F(Subscription, TopicSelectsByPrefixOfTheFirstFrameAndEmptyTakesAll) {
    Subscriber filtered = subscribed("lbl");
    Subscriber all = subscribed("");
    RepeatingPublisher publisher({{"other", "1"}, {"lbl.file", "2"}, {"xlbl", "3"}, {"", "4"}});
    std::set<std::string> seen;
    while (seen.size() < 4) seen.insert(receive(all.get()));
    EXPECT_EQ(seen, (std::set<std::string>{"1", "2", "3", "4"}));
    for (int i = 0; i < 20; ++i) ASSERT_EQ(receive(filtered.get()), "2");
}

TEST_F(Subscription, PayloadIsCopiedWholeAndTerminated) {
    Subscriber empty = subscribed("empty");
    Subscriber binary = subscribed("binary");
    RepeatingPublisher publisher({{"empty", ""}, {"binary", std::string("a\0b", 3)}});
    EXPECT_EQ(receive(empty.get(), 1), std::string(1, '\0'));
    EXPECT_EQ(receive(binary.get(), 4), std::string("a\0b\0", 4));
}

// A single frame is dropped, frames after the payload are read off: neither
// shifts the messages that follow.
TEST_F(Subscription, MalformedMessagesDoNotShiftTheStream) {
    zorvtest::LogCapture log;
    Subscriber handle = subscribed("lbl");
    RepeatingPublisher publisher({{"lbl-single"}, {"lbl", "first", "extra1", "extra2"}, {"lbl", "second"}});
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) seen.insert(receive(handle.get()));
    EXPECT_EQ(seen, (std::set<std::string>{"first", "second"}));
    auto warnings = log.matching("Dropped a notification of one frame");
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings[0].priority, 400);
    EXPECT_EQ(warnings[0].message.rfind("[recvLabelChangeMsg:", 0), 0u) << warnings[0].message;
}

TEST_F(Subscription, HandlesOnSeveralThreadsReceiveTheirOwnTopics) {
    constexpr int kThreads = 4;
    std::vector<Frames> messages;
    for (int t = 0; t < kThreads; ++t) messages.push_back({"t" + std::to_string(t), "p" + std::to_string(t)});
    RepeatingPublisher publisher(messages);
    std::vector<int> wrong(kThreads, -1);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &wrong] {
            Subscriber handle(createSubscriber());
            if (subscribeLabelChangeMsg(handle.get(), "t" + std::to_string(t)) != 0) return;
            wrong[t] = 0;
            for (int i = 0; i < 20; ++i) wrong[t] += receive(handle.get()) != "p" + std::to_string(t);
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

}  // namespace
