// ZMQSocket on private endpoints, and the argument checks of the subscriber
// calls (neither needs the service's endpoint).
#include "notify_test_support.h"

#include <log_capture.h>

#include <gtest/gtest.h>
#include <zmq.h>

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <type_traits>

using notifytest::Watchdog;

namespace {

static_assert(ZMQSocket::PAIR == ZMQ_PAIR && ZMQSocket::PUB == ZMQ_PUB && ZMQSocket::SUB == ZMQ_SUB &&
                  ZMQSocket::REQ == ZMQ_REQ && ZMQSocket::REP == ZMQ_REP && ZMQSocket::DEALER == ZMQ_DEALER &&
                  ZMQSocket::ROUTER == ZMQ_ROUTER && ZMQSocket::PULL == ZMQ_PULL &&
                  ZMQSocket::PUSH == ZMQ_PUSH && ZMQSocket::XPUB == ZMQ_XPUB && ZMQSocket::XSUB == ZMQ_XSUB &&
                  ZMQSocket::STREAM == ZMQ_STREAM,
              "socket types carry libzmq's numbers");
static_assert(!std::is_copy_constructible<ZMQSocket>::value && !std::is_copy_assignable<ZMQSocket>::value,
              "two owners would release the handles twice");
static_assert(std::is_nothrow_move_constructible<ZMQSocket>::value &&
                  std::is_nothrow_move_assignable<ZMQSocket>::value,
              "sockets can be moved");

// Every libzmq context holds file descriptors of its own, so a context left
// behind shows up here.
int openDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count;
}

class TempEndpoint {
public:
    TempEndpoint() {
        char pattern[] = "/tmp/zorv-notify-XXXXXX";
        dir_ = mkdtemp(pattern);
        endpoint_ = "ipc://" + dir_ + "/socket";
    }
    ~TempEndpoint() {
        unlink((dir_ + "/socket").c_str());
        rmdir(dir_.c_str());
    }
    const std::string& str() const { return endpoint_; }

private:
    std::string dir_;
    std::string endpoint_;
};

void expectFailure(const std::function<void()>& call, const char* message) {
    try {
        call();
        ADD_FAILURE() << "no exception, expected " << message;
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), message);
    }
}

TEST(ZMQSocket, FailedConstructionLeavesNoContextBehind) {
    const int before = openDescriptors();
    {
        ZMQSocket live(ZMQSocket::SUB);
        ASSERT_GT(openDescriptors(), before) << "a context must be visible in the descriptor count";
    }
    EXPECT_EQ(openDescriptors(), before);
    for (int i = 0; i < 20; ++i) {
        expectFailure([] { ZMQSocket invalid(static_cast<ZMQSocket::socketType>(99)); },
                      "Failed to create ZMQ socket.");
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(ZMQSocket, FramesTravelByteForByte) {
    TempEndpoint endpoint;
    ZMQSocket receiver(ZMQSocket::PAIR);
    receiver.bind(endpoint.str());
    ZMQSocket sender(ZMQSocket::PAIR);
    sender.connect(endpoint.str());
    Watchdog watchdog("pair round trip");
    const std::string binary("a\0b\xff", 4);
    sender.send(binary, true);
    sender.send("", false);
    EXPECT_EQ(receiver.recv(), binary);
    EXPECT_EQ(receiver.recv(), "");
}

TEST(ZMQSocket, MovesKeepOneOwnerPerHandle) {
    TempEndpoint endpoint;
    const int before = openDescriptors();
    {
        ZMQSocket original(ZMQSocket::PAIR);
        ZMQSocket receiver(std::move(original));
        receiver.bind(endpoint.str());
        expectFailure([&] { original.bind(endpoint.str()); }, "Failed to bind socket.");

        ZMQSocket sender(ZMQSocket::PUSH);
        sender = ZMQSocket(ZMQSocket::PAIR);  // the PUSH socket and its context go here
        sender.connect(endpoint.str());
        Watchdog watchdog("moved round trip");
        sender.send("moved", false);
        original = std::move(receiver);
        EXPECT_EQ(original.recv(), "moved");
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(ZMQSocket, LibzmqFailuresBecomeExceptions) {
    ZMQSocket subscriber(ZMQSocket::SUB);
    ZMQSocket publisher(ZMQSocket::PUB);
    expectFailure([&] { subscriber.bind("nowhere://x"); }, "Failed to bind socket.");
    expectFailure([&] { subscriber.connect("ipc://"); }, "Failed to connect socket.");
    expectFailure([&] { subscriber.send("x", false); }, "Failed to send message.");
    expectFailure([&] { publisher.recv(); }, "Failed to receive message.");
    expectFailure([&] { publisher.subscribe("x"); }, "Failed to set subscription filter.");
}

TEST(SubscriberArguments, NullArgumentsAreRefusedWithAnErrorLine) {
    zorvtest::LogCapture log;
    EXPECT_EQ(subscribeLabelChangeMsg(nullptr, "lbl"), -1);
    EXPECT_TRUE(log.contains("[subscribeLabelChangeMsg:"));

    char sentinel = 0;
    char* msg = &sentinel;
    EXPECT_EQ(recvLabelChangeMsg(nullptr, &msg), -1);
    EXPECT_EQ(msg, &sentinel);
    void* handle = createSubscriber();
    EXPECT_EQ(recvLabelChangeMsg(handle, nullptr), -1);
    destroySubscriber(handle);
    destroySubscriber(nullptr);

    auto errors = log.matching("is null");
    ASSERT_EQ(errors.size(), 3u);
    for (const auto& line : errors) EXPECT_EQ(line.priority, 300) << line.message;
    EXPECT_EQ(log.matching("[recvLabelChangeMsg:").size(), 2u);
}

}  // namespace
