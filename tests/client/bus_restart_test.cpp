// A process outlives its bus: each call reports what happened, and the first call after the bus is back succeeds.
#include <gtest/gtest.h>
#include <dbus-c++/dbus.h>
#include <zorv/labelmgr.hpp>

#include <cstdlib>

#include "log_capture.h"
#include "private_bus.h"
#include "wait_until.h"

// dbus-c++ keeps each retired connection (tests/lsan.supp names its frame, which only the slow unwinder reaches).
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace {

// libdbus reads the bus address once per process: the tests share one bus.
zorvtest::PrivateBus& privateBus() {
    static zorvtest::PrivateBus bus;
    static int set = setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    return (void)set, bus;
}

int openSockets() {
    int count = 0;  // called with no other thread about, so no descriptor vanishes meanwhile
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        count += std::filesystem::read_symlink(fd.path()).string().rfind("socket:", 0) == 0;
    return count;
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
    EXPECT_EQ(getFileTid("/p", &tid), 0);
    EXPECT_EQ(tid, 1u);
    DBusConnectionManager* manager = DBusConnectionManager::getInstance();
    EXPECT_TRUE(manager->isConnected());

    // Once more, no failed call in between: a connection handed out stays valid, replaced ones leave no socket.
    DBus::Connection& held = manager->getConnection();
    int sockets = openSockets();
    bus.start(true);
    EXPECT_EQ(setFileTid("/p", 4, 0), 0);
    EXPECT_TRUE(manager->getConnection().connected());
    EXPECT_FALSE(held.connected());
    EXPECT_EQ(openSockets(), sockets);

    // A caller may also ask for a new connection itself.
    EXPECT_TRUE(manager->reconnect());
    EXPECT_EQ(clearFileTid(), 0);
}

// Eight threads call while the bus restarts: each call is right or -2, and calls succeed a second after a restart.
TEST(BusRestart, ConcurrentCallsSurviveRestarts) {
    zorvtest::PrivateBus& bus = privateBus();
    bus.start(true);
    std::atomic<bool> stop{false};
    std::atomic<long> succeeded{0}, failed{0}, wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 8; ++t)
        callers.emplace_back([&] {
            for (unsigned int tid = 0; !stop; tid = 0) {
                int result = getFileTid("/p", &tid);
                ++(result == 0 && tid == 1 ? succeeded : result == -2 ? failed : wrong);
                if (result != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // don't flood the log
            }
        });
    for (int i = 0; i < 10; ++i) {
        bus.start(true);  // stops the running bus and its stand-in first
        const long before = succeeded;
        EXPECT_TRUE(zorvtest::waitUntil([&] { return succeeded > before; }, 1))
            << "restart " << i << ": no call succeeded within a second";
    }
    stop = true;
    for (auto& t : callers) t.join();
    EXPECT_EQ(wrong, 0);
}

}  // namespace
