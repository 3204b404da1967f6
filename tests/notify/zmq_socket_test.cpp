// ZMQSocket on private endpoints, and the argument checks of the subscriber calls.
#include <zorv/labelmgr.hpp>

#include <log_capture.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zmq.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <type_traits>

namespace {

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

// Destroying a socket with messages queued for a peer that stopped reading
// returns (bounded by alarm: libzmq's default lingers for ever).
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
    // Subscribed once a message gets through; from then on the reader reads
    // no more, and what follows queues for it.
    char byte;
    for (bool heard = false; !heard; usleep(1000)) {
        publisher->send("x", false);
        heard = zmq_recv(reader.get(), &byte, 1, ZMQ_DONTWAIT) >= 0;
    }
    for (int i = 0; i < 3000; ++i) publisher->send(std::string(16 * 1024, 'x'), false);
    publisher.reset();
    alarm(0);
}

// libzmq failures become exceptions; the subscriber calls turn them, and null
// arguments, into -1 and an error line, never a crash.
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
