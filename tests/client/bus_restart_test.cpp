// A process outlives its bus: the service missing, the bus daemon killed and
// started again. Each call reports what happened, and the first call after
// the bus is back succeeds on a new connection.
#include <gtest/gtest.h>
#include <zorv/labelmgr.hpp>

#include <cstdlib>

#include "log_capture.h"
#include "test_bus.h"

namespace {

TEST(BusRestart, CallsRecoverOnceTheBusIsBack) {
    zorvtest::PrivateBus bus;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
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

}  // namespace
