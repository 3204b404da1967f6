// Subscriber calls against a publisher bound on the service's endpoint.
#include "notify_test_support.h"

#include <log_capture.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>

using notifytest::Frames;
using notifytest::receiveText;
using notifytest::RepeatingPublisher;
using notifytest::Watchdog;

namespace {

struct SubscriberDeleter {
    void operator()(void* handle) const { destroySubscriber(handle); }
};
using Subscriber = std::unique_ptr<void, SubscriberDeleter>;

Subscriber subscribed(std::initializer_list<const char*> topics) {
    Subscriber handle(createSubscriber());
    for (const char* topic : topics) {
        EXPECT_EQ(subscribeLabelChangeMsg(handle.get(), topic), 0) << topic;
    }
    return handle;
}

// The raw buffer of one notification, `bytes` long, or "<failed>".
std::string receiveBytes(void* handle, size_t bytes) {
    char* msg = nullptr;
    if (recvLabelChangeMsg(handle, &msg) != 0 || msg == nullptr) return "<failed>";
    std::string copy(msg, bytes);
    std::free(msg);
    return copy;
}

TEST(Subscriber, SubscribingBeforeThePublisherExistsStillDelivers) {
    Watchdog watchdog("receive after late bind");
    Subscriber handle = subscribed({"lbl"});
    RepeatingPublisher publisher({Frames{"lbl", "x=1"}});
    EXPECT_EQ(receiveBytes(handle.get(), 4), std::string("x=1\0", 4));
}

TEST(Subscriber, OnlyMessagesWhoseFirstFrameBeginsWithTheTopicArrive) {
    Watchdog watchdog("topic filter");
    Subscriber handle = subscribed({"lbl"});
    RepeatingPublisher publisher({{"other", "wrong"}, {"lbl.file", "x=1"}, {"xlbl", "wrong"}});
    for (int i = 0; i < 20; ++i) ASSERT_EQ(receiveText(handle.get()), "x=1");
}

TEST(Subscriber, EmptyTopicReceivesEverything) {
    Watchdog watchdog("empty topic");
    Subscriber handle = subscribed({""});
    RepeatingPublisher publisher({{"a", "1"}, {"b", "2"}, {"", "3"}});
    std::set<std::string> seen;
    while (seen.size() < 3) seen.insert(receiveText(handle.get()));
    EXPECT_EQ(seen, (std::set<std::string>{"1", "2", "3"}));
}

TEST(Subscriber, PayloadIsCopiedWholeAndTerminated) {
    Watchdog watchdog("payload copies");
    Subscriber empty = subscribed({"empty"});
    Subscriber binary = subscribed({"binary"});
    RepeatingPublisher publisher({{"empty", ""}, {"binary", std::string("a\0b", 3)}});
    // One byte for an empty payload; the NUL inside does not cut the copy.
    EXPECT_EQ(receiveBytes(empty.get(), 1), std::string(1, '\0'));
    EXPECT_EQ(receiveBytes(binary.get(), 4), std::string("a\0b\0", 4));
}

TEST(Subscriber, AddingATopicDoesNotDuplicateMessages) {
    Watchdog watchdog("second topic");
    Subscriber handle = subscribed({"a", "b"});
    RepeatingPublisher publisher({{"a", "A"}, {"b", "B"}, {"c", "C"}}, /*numbered=*/true);
    std::set<std::string> seen;
    for (int i = 0; i < 40; ++i) {
        std::string text = receiveText(handle.get());
        ASSERT_TRUE(text[0] == 'A' || text[0] == 'B') << text;
        ASSERT_TRUE(seen.insert(text).second) << "received twice: " << text;
    }
}

TEST(Subscriber, SingleFrameMessageIsDroppedAndTheStreamStaysInStep) {
    Watchdog watchdog("single frame");
    zorvtest::LogCapture log;
    Subscriber handle = subscribed({"lbl"});
    RepeatingPublisher publisher({{"lbl-single"}, {"lbl", "after"}});
    for (int i = 0; i < 10; ++i) ASSERT_EQ(receiveText(handle.get()), "after");
    auto warnings = log.matching("Dropped a notification of one frame");
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings[0].priority, 400);
    EXPECT_EQ(warnings[0].message.rfind("[recvLabelChangeMsg:", 0), 0u) << warnings[0].message;
}

TEST(Subscriber, FramesAfterThePayloadAreIgnored) {
    Watchdog watchdog("extra frames");
    Subscriber handle = subscribed({"lbl"});
    RepeatingPublisher publisher({{"lbl", "first", "extra1", "extra2"}, {"lbl", "second"}});
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) seen.insert(receiveText(handle.get()));
    EXPECT_EQ(seen, (std::set<std::string>{"first", "second"}));
}

TEST(Subscriber, HandlesOnSeveralThreadsReceiveTheirOwnTopics) {
    Watchdog watchdog("threads");
    constexpr int kThreads = 4;
    std::vector<Frames> messages;
    for (int t = 0; t < kThreads; ++t) {
        messages.push_back({"t" + std::to_string(t), "p" + std::to_string(t)});
    }
    RepeatingPublisher publisher(messages);
    std::vector<std::string> failures(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            Subscriber handle(createSubscriber());
            if (subscribeLabelChangeMsg(handle.get(), "t" + std::to_string(t)) != 0) {
                failures[t] = "subscribe failed";
                return;
            }
            for (int i = 0; i < 20; ++i) {
                std::string text = receiveText(handle.get());
                if (text != "p" + std::to_string(t)) {
                    failures[t] = "received " + text;
                    return;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], "") << "thread " << t;
}

// Handles that are ZMQSocket objects, but of a kind that cannot subscribe or
// receive: the failures come back as -1 and a logged exception.
TEST(Subscriber, SocketFailuresAreReportedAsMinusOne) {
    zorvtest::LogCapture log;
    ZMQSocket publisherKind(ZMQSocket::PUB);
    EXPECT_EQ(subscribeLabelChangeMsg(&publisherKind, "lbl"), -1);
    EXPECT_TRUE(log.contains("[subscribeLabelChangeMsg:"));
    EXPECT_TRUE(log.contains("Exception: Failed to set subscription filter."));

    char sentinel = 0;
    char* msg = &sentinel;
    EXPECT_EQ(recvLabelChangeMsg(&publisherKind, &msg), -1);
    EXPECT_EQ(msg, &sentinel);
    EXPECT_TRUE(log.contains("Exception: Failed to receive message."));

    ZMQSocket moved(ZMQSocket::SUB);
    ZMQSocket owner(std::move(moved));
    EXPECT_EQ(subscribeLabelChangeMsg(&moved, "lbl"), -1);
    EXPECT_TRUE(log.contains("Exception: Failed to connect socket."));
}

}  // namespace
