// A process outlives its bus: the service missing, the bus daemon killed and
// started again. Each call reports what happened, and the first call after
// the bus is back succeeds on a new connection.
#include <gtest/gtest.h>
#include <dbus-c++/dbus.h>
#include <zorv/labelmgr.hpp>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "test_bus.h"

namespace {

// libdbus reads the bus address once per process: the tests share one bus.
zorvtest::PrivateBus& privateBus() {
    static zorvtest::PrivateBus bus;
    static bool addressSet = setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1) == 0;
    (void)addressSet;
    return bus;
}

TEST(BusRestart, CallsRecoverOnceTheBusIsBack) {
    zorvtest::PrivateBus& bus = privateBus();
    zorvtest::LogCapture log;
    unsigned int tid = 0;

    // The bus is up but nobody owns the service name.
    bus.start(false);
    EXPECT_EQ(getFileTid("/p", &tid), -2);
    EXPECT_TRUE(log.contains("DBus error occurred: org.freedesktop.DBus.Error.ServiceUnknown"));

    // The bus daemon goes away: the connection is closed for good.
    bus.stop();
    log.clear();
    EXPECT_EQ(getFileTid("/p", &tid), -2);
    EXPECT_EQ(clearFileOid(), -2);
    EXPECT_TRUE(log.contains("Exception occurred: DBus service unavailable"));

    // Back, with the service this time.
    bus.start(true);
    tid = 0;
    EXPECT_EQ(getFileTid("/p", &tid), 0);
    EXPECT_EQ(tid, 1u);
    EXPECT_TRUE(DBusConnectionManager::getInstance()->isConnected());

    // And once more, without a failed call in between.
    bus.start(true);
    EXPECT_EQ(setFileTid("/p", 4, 0), 0);

    // A caller may also ask for a new connection itself.
    EXPECT_TRUE(DBusConnectionManager::getInstance()->reconnect());
    EXPECT_EQ(clearFileTid(), 0);
}

// Calls on eight threads while the bus daemon is killed and started again:
// every call either gets the right answer or reports -2, and calls succeed
// again soon after each restart.
TEST(BusRestart, ConcurrentCallsSurviveRestarts) {
    zorvtest::PrivateBus& bus = privateBus();
    bus.start(true);
    std::atomic<bool> stop{false};
    std::atomic<long> succeeded{0}, failed{0}, wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t)
        callers.emplace_back([&] {
            while (!stop) {
                unsigned int tid = 0;
                int result = getFileTid("/p", &tid);
                if (result == 0 && tid == 1) {
                    ++succeeded;
                } else if (result == -2) {
                    ++failed;
                    // A dead bus fails at once; spinning would only fill the log.
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                } else {
                    ++wrong;
                }
            }
        });
    constexpr int kRestarts = 10;
    int recovered = 0;
    for (int i = 0; i < kRestarts; ++i) {
        bus.start(true);  // stops the running bus and its stand-in first
        long before = succeeded;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (succeeded == before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (succeeded > before) ++recovered;
    }
    stop = true;
    for (auto& t : callers) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(recovered, kRestarts) << succeeded << " calls succeeded, " << failed << " failed";
}

int openSockets() {
    int count = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(fd.path(), error).string().rfind("socket:", 0) == 0) ++count;
    }
    return count;
}

// A caller may keep the connection it was handed: after bus restarts it is a
// closed but valid object, and the connections replaced meanwhile leave no
// socket open behind them.
TEST(BusRestart, HandedOutConnectionOutlivesRestarts) {
    zorvtest::PrivateBus& bus = privateBus();
    bus.start(true);
    DBusConnectionManager* manager = DBusConnectionManager::getInstance();
    DBus::Connection& held = manager->getConnection();
    int sockets = openSockets();
    for (int i = 0; i < 3; ++i) {
        bus.start(true);
        unsigned int tid = 0;
        EXPECT_EQ(getFileTid("/p", &tid), 0);
        EXPECT_TRUE(manager->getConnection().connected());
    }
    EXPECT_FALSE(held.connected());
    EXPECT_LE(openSockets(), sockets);
}

}  // namespace
