// Without a reachable system bus the calls fail cleanly, most with -2.
#include <gtest/gtest.h>
#include <zorv/labelmgr.hpp>

#include <cstdlib>

#include "log_capture.h"

namespace {

TEST(NoBus, EveryCallFailsWithMinusTwoAndNothingCrashes) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zorv-test/system_bus_socket", 1);
    zorvtest::LogCapture log;
    unsigned int u = 0;
    unsigned long l = 0;
    ZORV_ID id{};
    UserSetRecord* records = nullptr;
    std::map<std::string, ZORV_ID> oids;
    const char* names[] = {"p"};
    int results[] = {  // one call of each kind
        getFileTid("/p", &u),        getFileOid("/p", &id),      setFileOid("/p", id, 0),
        clearFileOid(),              showUserSetPkgId(&records), queryUserSetFileTid("/p", &records, 0),
        queryUserSetPkgId("/p", &l), getDeviceOid("d", &l),      getKernelModuleOids({"m"}, oids),
        getPkgIds(names, 1, &l),
    };
    for (int r : results) EXPECT_EQ(r, -2);
    EXPECT_EQ(records, nullptr);
    EXPECT_TRUE(getLabelSetStatus() == -1 && !pathNormalize("/p") && !getPkgNameById(1) && restoreSingleFileLabel("/p").empty());
    addTagFullSystem("t", {});  // logged only
    // Bulk labelling: -3, but -1 for the base files; policies: -1.
    char* files[] = {const_cast<char*>("/p"), nullptr};
    std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>> ids;
    EXPECT_EQ(std::make_tuple(setLabelForDrova(files, "app"), setLabelForLunvexInterpreter("/"),
                              setLabelForDrovaBaseFiles(files, files), policies_parse({{"c", {"n"}}}, ids)),
              std::make_tuple(-3, -3, -1, -1));
    // The connection's own failure, and each family of calls in its words.
    for (const char* line : {"Failed to initialize DBus connection", "Exception occurred: DBus service unavailable",
                             "Exception: DBus service unavailable"})
        EXPECT_TRUE(log.contains(line)) << line;

    DBusConnectionManager* manager = DBusConnectionManager::getInstance();
    EXPECT_FALSE(manager->isConnected());
    EXPECT_FALSE(manager->reconnect());
    EXPECT_TRUE(log.contains("DBus reconnect failed"));
    EXPECT_THROW(manager->getConnection(), std::runtime_error);
}

}  // namespace
