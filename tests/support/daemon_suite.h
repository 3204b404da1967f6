// One service and bus for a suite; each test starts it on a fresh database and leaves it stopped or able to stop.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "service_daemon.h"

namespace zorvtest {

class DaemonSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        daemon_ = new ServiceDaemon(ZORV_TEST_DAEMON);
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_->address().c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete daemon_;
        daemon_ = nullptr;
    }
    void SetUp() override { daemon_->newDatabase().start(); }
    void TearDown() override {
        if (!daemon_->running()) return;
        EXPECT_EQ(daemon_->stop(SIGTERM), 0) << "no clean shutdown: " << daemon_->output();
    }

    // Runs `sql` on the stopped service's database; the first column of every row, joined.
    static std::string runSql(const std::string& sql) {
        sqlite3* db = nullptr;
        std::string rows;
        if (sqlite3_open(daemon_->database().c_str(), &db) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open " << daemon_->database();
        } else {
            auto append = [](void* out, int, char** v, char**) {
                return *static_cast<std::string*>(out) += v[0] ? v[0] : "", 0;
            };
            EXPECT_EQ(sqlite3_exec(db, sql.c_str(), append, &rows, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        }
        sqlite3_close(db);
        return rows;
    }

    static inline ServiceDaemon* daemon_ = nullptr;
};

}  // namespace zorvtest
