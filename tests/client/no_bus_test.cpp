// Without a reachable system bus every call fails cleanly with -2.
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
    int results[] = {
        getPkgId("/p", &l),         setPkgId("/p", 1),          delUserSetPkgId("/p"),
        clearUserSetPkgId(),        getFileOid("/p", &id),      setFileOid("/p", id, 0),
        delFileOid("/p", 0),        clearFileOid(),             getFileSid("/p", &id),
        setFileSid("/p", id, 0),    delFileSid("/p", 0),        clearFileSid(),
        getFileTid("/p", &u),       setFileTid("/p", 1, 0),     delFileTid("/p", 0),
        clearFileTid(),             getFileInheritFlag("/p", &u), setFileInheritFlag("/p", 1, 0),
        delFileInheritFlag("/p", 0), clearFileInheritFlag(),
        showUserSetPkgId(&records), queryUserSetPkgId("/p", &l), showUserSetFileOid(&records),
        queryUserSetFileTid("/p", &records, 0), getDeviceOid("d", &l), getKernelModuleOids({"m"}, oids),
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
