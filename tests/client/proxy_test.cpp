// The exported service proxy, for callers who use dbus-c++ themselves.
#include <gtest/gtest.h>
#include <dbus-c++/dbus.h>
#include <zorv/labelmgr.hpp>

#include "protocol/service_names.h"
#include "standin_control.h"

namespace {

TEST(LabelMgrClient, SendsSetLabelForPkgOnTheSharedConnection) {
    zorvtest::Standin standin;
    standin.reset();
    standin.reply("setLabelForPkg", {int32_t(3)});
    {
        LabelMgrClient client(DBusConnectionManager::getInstance()->getConnection(), zorv::protocol::kObjectPath,
                              zorv::protocol::kServiceName);
        EXPECT_EQ(client.setLabelForPkg({"/usr/bin/a", "/usr/bin/b"}, "pkg", 1u), 3);
    }
    auto got = standin.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].member + " " + got[0].signature + " " + got[0].arguments,
              R"(setLabelForPkg assu ["/usr/bin/a", "/usr/bin/b"] "pkg" 1)");

    // The library's own calls keep their timeout and work alongside it.
    unsigned int tid = 0;
    EXPECT_EQ(getFileTid("/p", &tid), 0);
}

}  // namespace
