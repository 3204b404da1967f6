// ZMQSocket on private endpoints, and the argument checks of the subscriber calls.
#include <zorv/labelmgr.hpp>

#include <log_capture.h>

#include <gtest/gtest.h>
#include <zmq.h>

#include <dirent.h>
#include <unistd.h>

#include <functional>
#include <type_traits>

namespace {

static_assert(ZMQSocket::PUB == ZMQ_PUB && ZMQSocket::SUB == ZMQ_SUB && ZMQSocket::STREAM == ZMQ_STREAM,
              "libzmq's numbers");
static_assert(!std::is_copy_constructible<ZMQSocket>::value && std::is_nothrow_move_constructible<ZMQSocket>::value,
              "one owner per handle");

// Every libzmq context holds descriptors, so one left behind shows up here.
int openDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

void expectFailure(const std::function<void()>& call, const char* message) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected " << message;
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), message);
    }
}

// A receive that never completes ends the process instead of hanging.
class ZMQSocketTest : public ::testing::Test {
protected:
    void SetUp() override { alarm(20); }
    void TearDown() override { alarm(0); }
};

TEST_F(ZMQSocketTest, FailedConstructionLeavesNoContextBehind) {
    const int before = openDescriptors();
    {
        ZMQSocket live(ZMQSocket::SUB);
        ASSERT_GT(openDescriptors(), before) << "a context must show in the descriptor count";
    }
    EXPECT_EQ(openDescriptors(), before);
    for (int i = 0; i < 20; ++i) {
        expectFailure([] { ZMQSocket invalid(static_cast<ZMQSocket::socketType>(99)); },
                      "Failed to create ZMQ socket.");
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(ZMQSocketTest, FramesTravelByteForByteThroughMovedSockets) {
    const std::string endpoint = "ipc://@zorv-notify-test-" + std::to_string(getpid());
    const int before = openDescriptors();
    {
        ZMQSocket original(ZMQSocket::PAIR);
        ZMQSocket receiver(std::move(original));
        receiver.bind(endpoint);
        expectFailure([&] { original.bind(endpoint); }, "Failed to bind socket.");
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
}

TEST_F(ZMQSocketTest, LibzmqFailuresBecomeExceptions) {
    ZMQSocket subscriber(ZMQSocket::SUB);
    ZMQSocket publisher(ZMQSocket::PUB);
    expectFailure([&] { subscriber.bind("nowhere://x"); }, "Failed to bind socket.");
    expectFailure([&] { subscriber.connect("ipc://"); }, "Failed to connect socket.");
    expectFailure([&] { subscriber.send("x", false); }, "Failed to send message.");
    expectFailure([&] { publisher.recv(); }, "Failed to receive message.");
    expectFailure([&] { publisher.subscribe("x"); }, "Failed to set subscription filter.");
}

// Bad handles and pointers, and ZMQSocket handles of a kind that cannot
// subscribe or receive: -1 and an error line, never a crash.
TEST_F(ZMQSocketTest, SubscriberFailuresAreLoggedAndReportedAsMinusOne) {
    zorvtest::LogCapture log;
    char sentinel = 0;
    char* msg = &sentinel;
    EXPECT_EQ(subscribeLabelChangeMsg(nullptr, "lbl"), -1);
    EXPECT_EQ(recvLabelChangeMsg(nullptr, &msg), -1);
    void* handle = createSubscriber();
    EXPECT_EQ(recvLabelChangeMsg(handle, nullptr), -1);
    destroySubscriber(handle);
    destroySubscriber(nullptr);
    EXPECT_EQ(log.matching("is null").size(), 3u);

    ZMQSocket publisherKind(ZMQSocket::PUB);
    EXPECT_EQ(subscribeLabelChangeMsg(&publisherKind, "lbl"), -1);
    EXPECT_EQ(recvLabelChangeMsg(&publisherKind, &msg), -1);
    EXPECT_EQ(msg, &sentinel);
    ZMQSocket moved(ZMQSocket::SUB);
    ZMQSocket owner(std::move(moved));
    EXPECT_EQ(subscribeLabelChangeMsg(&moved, "lbl"), -1);
    const char* expected[] = {"[subscribeLabelChangeMsg:", "[recvLabelChangeMsg:",
                              "Exception: Failed to set subscription filter.",
                              "Exception: Failed to receive message.", "Exception: Failed to connect socket."};
    for (const char* text : expected) EXPECT_TRUE(log.contains(text)) << text;
    for (const auto& line : log.lines()) EXPECT_EQ(line.priority, 300) << line.message;
}

}  // namespace
