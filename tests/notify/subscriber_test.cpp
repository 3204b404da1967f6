// Subscriber calls against a publisher bound on an endpoint of the test's own.
#include <zorv/labelmgr.hpp>

#include <log_capture.h>
#include <scratch_endpoint.h>
#include <wait_until.h>

#include "protocol/service_names.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>

namespace {

using Frames = std::vector<std::string>;

const zorvtest::ScratchEndpoint endpoint;

// Binds and sends `messages` in rounds until destroyed: a subscription
// reaches the publisher only some time after it is made.
struct RepeatingPublisher {
    explicit RepeatingPublisher(std::vector<Frames> messages)
        : thread([this, messages] {
              ZMQSocket socket(ZMQSocket::PUB);
              socket.bind(endpoint.endpoint());
              for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(1)))
                  for (const Frames& frames : messages)
                      for (size_t i = 0; i < frames.size(); ++i) socket.send(frames[i], i + 1 < frames.size());
          }) {}
    ~RepeatingPublisher() {
        stop = true;
        thread.join();
        unlink(endpoint.file().c_str());  // libzmq leaves it behind
    }
    std::atomic<bool> stop{false};
    std::thread thread;
};

using Subscriber = std::unique_ptr<void, decltype(&destroySubscriber)>;

Subscriber subscribed(const std::string& topic) {
    Subscriber handle(createSubscriber(), &destroySubscriber);
    EXPECT_EQ(subscribeLabelChangeMsg(handle.get(), topic), 0) << topic;
    return handle;
}

// The next notification: its first `bytes` bytes, or up to the first NUL by
// default. Bounded: a lost message ends the process by alarm, not a hang.
std::string receive(void* handle, size_t bytes = std::string::npos) {
    alarm(20);
    char* msg = nullptr;
    if (recvLabelChangeMsg(handle, &msg) != 0) return "<failed>";
    std::string copy = bytes == std::string::npos ? std::string(msg) : std::string(msg, bytes);
    std::free(msg);
    return copy;
}

// Every handle subscribes before the publisher exists. A topic selects by
// prefix of the first frame and the payload buffer holds every byte plus a NUL.
// A message of one frame is dropped and frames after the payload are read off:
// neither shifts the messages that follow.
TEST(Subscription, EachHandleGetsWhatItsTopicSelectsWhole) {
    zorvtest::LogCapture log;
    Subscriber all = subscribed(""), filtered = subscribed("lbl");
    Subscriber empty = subscribed("xlbl"), binary = subscribed("nul");
    RepeatingPublisher publisher({{"other", "1"}, {"single"}, {"lbl.file", "2", "extra1", "extra2"},
                                  {"xlbl", ""}, {"nul", std::string("a\0b", 3)}});
    std::set<std::string> seen;
    for (int i = 0; i < 40 || seen.size() < 4; ++i) seen.insert(receive(all.get()));
    EXPECT_EQ(seen, (std::set<std::string>{"1", "2", "", "a"}));
    for (int i = 0; i < 20; ++i) ASSERT_EQ(receive(filtered.get()), "2");
    EXPECT_EQ(receive(empty.get(), 1), std::string(1, '\0'));
    EXPECT_EQ(receive(binary.get(), 4), std::string("a\0b\0", 4));
    const auto warnings = log.matching("] Dropped a notification of one frame");
    EXPECT_TRUE(!warnings.empty() && warnings[0].priority == 400);
}

// A frame over the limit never reaches the caller (nor its memory): the
// connection that carried it is dropped and later messages still arrive.
TEST(Subscription, FramesOverTheLimitAreNotReceived) {
    Subscriber handle = subscribed("t");
    RepeatingPublisher publisher({{"t", "small"}, {"t", std::string(kMaxNotificationFrame + 1, 'x')}});
    for (int i = 0; i < 3; ++i) EXPECT_EQ(receive(handle.get(), 5), "small");
}

// A receive with a time limit comes back empty-handed when nothing is
// published (even with only other topics on the way), and with the message
// when one comes.
TEST(Subscription, ReceiveWithinALimit) {
    Subscriber handle = subscribed("t");
    char* msg = nullptr;
    EXPECT_EQ(recvLabelChangeMsgWithin(handle.get(), &msg, 50), 1);
    EXPECT_EQ(msg, nullptr);
    EXPECT_EQ(recvLabelChangeMsgWithin(handle.get(), nullptr, 50), -1);
    {
        RepeatingPublisher others(std::vector<Frames>{{"other", "o"}});
        EXPECT_EQ(recvLabelChangeMsgWithin(handle.get(), &msg, 300), 1);
    }
    RepeatingPublisher publisher(std::vector<Frames>{{"t", "x"}});
    ASSERT_EQ(recvLabelChangeMsgWithin(handle.get(), &msg, 20000), 0);
    EXPECT_STREQ(msg, "x");
    std::free(msg);
    // The publisher sends every millisecond: a receive that does not wait
    // soon finds one already there.
    msg = nullptr;
    EXPECT_TRUE(zorvtest::waitUntil([&] { return recvLabelChangeMsgWithin(handle.get(), &msg, 0) == 0; }))
        << "no message already waiting was taken";
    std::free(msg);
}

TEST(Subscription, HandlesOnSeveralThreadsReceiveTheirOwnTopics) {
    const std::vector<Frames> messages{{"t0", "p0"}, {"t1", "p1"}, {"t2", "p2"}, {"t3", "p3"}};
    RepeatingPublisher publisher(messages);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (const Frames& message : messages)
        threads.emplace_back([&wrong, message] {
            Subscriber handle = subscribed(message[0]);
            for (int i = 0; i < 20; ++i) wrong += receive(handle.get()) != message[1];
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
