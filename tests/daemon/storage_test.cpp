// The service's database when it is not what it should be: damaged, read-only, in use or full.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <zorv/labelmgr.hpp>

#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "as_user.h"
#include "daemon_suite.h"
#include "staged_program.h"

using zorvtest::ServiceConnection;

namespace {

class Storage : public zorvtest::DaemonSuite {
protected:
    void SetUp() override { daemon_->newDatabase().runAs(uid_t(-1)).start(); }
    // The line the service printed on its way out, which must name the file.
    static std::string lastWords() {
        std::string all = daemon_->output(), line;
        for (std::size_t at = 0; (at = all.find("zorv-labelmgrd: ", at)) != std::string::npos; at += 1)
            line = all.substr(at, all.find('\n', at) - at);
        return line;
    }
};

// A second service on a database in use, and one on a spoilt database, stop at once with their own status.
TEST_F(Storage, AnUnusableOrBusyDatabaseStopsTheServiceWithItsOwnStatus) {
    zorvtest::ServiceDaemon second(ZORV_TEST_DAEMON);
    EXPECT_THROW(second.useDatabase(daemon_->database()).start(), std::runtime_error);
    EXPECT_EQ(second.exitStatus(), 4);
    EXPECT_NE(second.output().find(daemon_->database() + " is in use"), std::string::npos) << second.output();
    char* files[] = {const_cast<char*>("/usr/bin/a"), const_cast<char*>("/usr/bin/b"), nullptr};
    for (int i = 0; i < 200; ++i) ASSERT_EQ(setLabelForPkg(files, 2, ("pkg" + std::to_string(i)).c_str()), 0);
    ASSERT_EQ(daemon_->stop(), 0);
    const std::string db = daemon_->database();
    const auto size = std::filesystem::file_size(db);
    ASSERT_GT(size, 16384u);

    struct Case {
        const char* what;
        std::function<void()> spoil;
        const char* says;
    };
    std::mt19937 random(7);
    const Case cases[] = {
        {"cut in half", [&] { std::filesystem::resize_file(db, size / 2); }, "malformed"},
        {"overwritten", [&] {
             std::ofstream out(db, std::ios::binary | std::ios::trunc);
             for (int i = 0; i < 8192; ++i) out.put(char(random()));
         }, "not a database"},
        {"written by a newer version", [&] {
             std::filesystem::remove(db);
             sqlite3* handle = nullptr;
             sqlite3_open(db.c_str(), &handle);
             sqlite3_exec(handle, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
             sqlite3_close(handle);
         }, "newer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.spoil();
        EXPECT_THROW(daemon_->start(), std::runtime_error);
        EXPECT_EQ(daemon_->exitStatus(), 3);
        EXPECT_NE(lastWords().find(db), std::string::npos) << lastWords();
        EXPECT_NE(lastWords().find(c.says), std::string::npos) << lastWords();
    }
    if (geteuid() != 0) return;
    // A file the service may only read (here: a service run by another user).
    daemon_->newDatabase().start();
    ASSERT_EQ(daemon_->stop(), 0);
    std::filesystem::permissions(daemon_->database(), std::filesystem::perms(0644));
    ZORV_SKIP_UNLESS_STAGED(zorvtest::kNobody, daemon_->program());
    EXPECT_THROW(daemon_->runAs(zorvtest::kNobody).start(), std::runtime_error);
    EXPECT_EQ(daemon_->exitStatus(), 3);
    EXPECT_NE(lastWords().find(daemon_->database() + ": the file is read-only"), std::string::npos) << lastWords();
}

// A file size limit stands for a full file system: a change fails whole and reads go on; the audit entries of refused
// and failed calls wait in memory for the next write that succeeds.
TEST_F(Storage, AFullFileSystemFailsTheChangeAndReadsGoOn) {
    if (geteuid() != 0) GTEST_SKIP() << "limits another process's file size: root only";
    ASSERT_EQ(setFileTid("/kept", 5, 0), 0);
    std::vector<std::string> paths(20000);
    for (std::size_t i = 0; i < paths.size(); ++i) paths[i] = "/usr/share/full/" + std::to_string(i) + "/file.txt";
    const std::vector<zorvtest::WireValue> bigPackage{paths, "full", 1u};

    rlimit unlimited{}, limit{};
    ASSERT_EQ(prlimit(daemon_->pid(), RLIMIT_FSIZE, nullptr, &unlimited), 0) << std::strerror(errno);
    limit = {4096, unlimited.rlim_max};  // the soft limit only: raising a hard one takes more than root here
    ASSERT_EQ(prlimit(daemon_->pid(), RLIMIT_FSIZE, &limit, nullptr), 0) << std::strerror(errno);
    EXPECT_EQ(zorvtest::asUser(zorvtest::kNobody, {},
                               [] { return ServiceConnection().call("setFileTid", {"/refused", 6u, int32_t(0)}); }),
              "-1");
    const std::string failed = "error org.freedesktop.DBus.Error.Failed";
    EXPECT_EQ(ServiceConnection().call("setFileTid", {"/during", 7u, int32_t(0)}), failed);
    EXPECT_EQ(ServiceConnection().call("setLabelForPkg", bigPackage), failed);
    const char* names[] = {"full"};
    unsigned long ids[1] = {};
    EXPECT_EQ(getPkgIds(names, 1, ids), 1);
    EXPECT_EQ(ids[0], ~0ul) << "half a package written";
    unsigned tid = 0;
    EXPECT_EQ(getFileTid("/kept", &tid), 0);
    EXPECT_EQ(tid, 5u);

    ASSERT_EQ(prlimit(daemon_->pid(), RLIMIT_FSIZE, &unlimited, nullptr), 0) << std::strerror(errno);
    EXPECT_EQ(ServiceConnection().call("setLabelForPkg", bigPackage), "0");
    ASSERT_EQ(daemon_->stop(), 0);
    EXPECT_EQ(runSql("SELECT count(*) FROM audit WHERE subject = '/refused' AND uid = 65534"), "1");
    EXPECT_EQ(runSql("SELECT count(*) FROM audit WHERE subject IN ('/during', 'full') AND result LIKE 'failed:%'"),
              "2");
}

}  // namespace
