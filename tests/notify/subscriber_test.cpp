// The subscriber calls against a publisher on an endpoint of the test's own, and ZMQSocket on private endpoints.
#include <zorv/labelmgr.hpp>

#include <log_capture.h>
#include <scratch_endpoint.h>
#include <wait_until.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zmq.h>

#include <type_traits>

namespace {

using Frames = std::vector<std::string>;

const zorvtest::ScratchEndpoint endpoint;

// Sends `messages` in rounds until destroyed: a subscription reaches the publisher only after a while.
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

// The next notification's first `bytes` bytes (to the first NUL by default); a lost one ends the process by alarm.
std::string receive(void* handle, size_t bytes = std::string::npos) {
    alarm(20);
    char* msg = nullptr;
    if (recvLabelChangeMsg(handle, &msg) != 0) return "<failed>";
    std::string copy = bytes == std::string::npos ? std::string(msg) : std::string(msg, bytes);
    std::free(msg);
    return copy;
}

// Handles subscribed before the publisher exists get what their topic prefix selects, every byte plus a NUL; a message
// of one frame, frames after the payload, or a frame over the limit (never received) shift nothing that follows.
TEST(Subscription, EachHandleGetsWhatItsTopicSelectsWhole) {
    zorvtest::LogCapture log;
    Subscriber all = subscribed(""), filtered = subscribed("lbl");
    Subscriber empty = subscribed("xlbl"), binary = subscribed("nul");
    RepeatingPublisher publisher({{"other", "1"}, {"single"}, {"lbl.file", "2", "extra1", "extra2"}, {"xlbl", ""},
                                  {"nul", std::string("a\0b", 3)}, {"big", std::string(kMaxNotificationFrame + 1, 'x')}});
    std::set<std::string> seen;
    for (int i = 0; i < 40 || seen.size() < 4; ++i) seen.insert(receive(all.get()));
    EXPECT_EQ(seen, (std::set<std::string>{"1", "2", "", "a"}));
    for (int i = 0; i < 20; ++i) ASSERT_EQ(receive(filtered.get()), "2");
    EXPECT_EQ(receive(empty.get(), 1), std::string(1, '\0'));
    EXPECT_EQ(receive(binary.get(), 4), std::string("a\0b\0", 4));
    const auto warnings = log.matching("] Dropped a notification of one frame");
    EXPECT_TRUE(!warnings.empty() && warnings[0].priority == 400);
}

// A receive with a time limit comes back empty-handed when nothing (or only other topics) is published.
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
    // The publisher sends every millisecond: a receive that does not wait soon finds one there.
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

static_assert(ZMQSocket::PUB == ZMQ_PUB && ZMQSocket::SUB == ZMQ_SUB && ZMQSocket::STREAM == ZMQ_STREAM);
static_assert(!std::is_copy_constructible<ZMQSocket>::value, "one owner per handle");

// Every libzmq context holds descriptors, so one left behind shows up here.
long openDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

auto fails(const char* message) { return testing::ThrowsMessage<std::runtime_error>(testing::StrEq(message)); }

// No context outlives its socket; frames travel byte for byte (bounded by alarm).
TEST(ZMQSocketTest, NoContextOutlivesItsSocketAndFramesArriveWhole) {
    alarm(20);
    const std::string endpoint = "ipc://@zorv-notify-test-" + std::to_string(getpid());
    const long before = openDescriptors();
    {
        ZMQSocket original(ZMQSocket::PAIR);
        ASSERT_GT(openDescriptors(), before) << "a context must show in the descriptor count";
        ZMQSocket receiver(std::move(original));
        receiver.bind(endpoint);
        EXPECT_THAT([&] { original.bind(endpoint); }, fails("Failed to bind socket."));
        ZMQSocket sender(ZMQSocket::PUSH);
        sender = ZMQSocket(ZMQSocket::PAIR);  // the PUSH socket and its context go here
        sender.connect(endpoint);
        const std::string binary("a\0b\xff", 4);
        sender.send(binary, true);
        sender.send("", false);
        original = std::move(receiver);
        EXPECT_EQ(original.recv(), binary);
        EXPECT_EQ(original.recv(), "");
    }
    EXPECT_EQ(openDescriptors(), before);
    alarm(0);
}

// Destroying a socket with messages queued for a peer that stopped reading returns (libzmq's default lingers).
TEST(ZMQSocketTest, APeerThatStoppedReadingDoesNotHoldUpDestruction) {
    alarm(20);
    const std::string endpoint = "ipc://@zorv-linger-test-" + std::to_string(getpid());
    auto publisher = std::make_unique<ZMQSocket>(ZMQSocket::PUB);
    publisher->bind(endpoint);
    std::unique_ptr<void, decltype(&zmq_ctx_term)> context(zmq_ctx_new(), &zmq_ctx_term);
    std::unique_ptr<void, decltype(&zmq_close)> reader(zmq_socket(context.get(), ZMQ_SUB), &zmq_close);
    const int one = 1, none = 0;
    zmq_setsockopt(reader.get(), ZMQ_RCVHWM, &one, sizeof one);
    zmq_setsockopt(reader.get(), ZMQ_LINGER, &none, sizeof none);
    zmq_setsockopt(reader.get(), ZMQ_SUBSCRIBE, "", 0);
    ASSERT_EQ(zmq_connect(reader.get(), endpoint.c_str()), 0);
    // Subscribed once a message gets through; then the reader reads no more and what follows queues.
    char byte;
    ASSERT_TRUE(zorvtest::waitUntil([&] {
        publisher->send("x", false);
        return zmq_recv(reader.get(), &byte, 1, ZMQ_DONTWAIT) >= 0;
    }, 10));
    for (int i = 0; i < 3000; ++i) publisher->send(std::string(16 * 1024, 'x'), false);
    publisher.reset();
    alarm(0);
}

// libzmq failures become exceptions; the subscriber calls turn them, and null arguments, into -1 and an error.
TEST(ZMQSocketTest, FailuresAreReportedNeverCrash) {
    zorvtest::LogCapture log;
    ZMQSocket subscriber(ZMQSocket::SUB), publisher(ZMQSocket::PUB);
    EXPECT_THAT([&] { subscriber.bind("nowhere://x"); }, fails("Failed to bind socket."));
    EXPECT_THAT([&] { subscriber.connect("ipc://"); }, fails("Failed to connect socket."));
    EXPECT_THAT([&] { subscriber.send("x", false); }, fails("Failed to send message."));
    EXPECT_THAT([&] { publisher.recv(); }, fails("Failed to receive message."));
    EXPECT_THAT([&] { publisher.subscribe("x"); }, fails("Failed to set subscription filter."));
    char* msg = nullptr;
    void* handle = createSubscriber();
    EXPECT_EQ(subscribeLabelChangeMsg(nullptr, "lbl"), -1);
    EXPECT_EQ(recvLabelChangeMsg(nullptr, &msg), -1);
    EXPECT_EQ(recvLabelChangeMsg(handle, nullptr), -1);
    destroySubscriber(handle);
    destroySubscriber(nullptr);
    EXPECT_EQ(log.matching("is null").size(), 3u);
    EXPECT_EQ(subscribeLabelChangeMsg(&publisher, "lbl"), -1);  // a publisher cannot subscribe
    EXPECT_EQ(recvLabelChangeMsg(&publisher, &msg), -1);        // nor receive
    EXPECT_EQ(msg, nullptr);
    for (const auto& line : log.lines()) EXPECT_EQ(line.priority, 300) << line.message;
}

}  // namespace
