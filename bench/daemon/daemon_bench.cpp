// The real service next to its baselines, in one run:
// - getFileTid answered by zorv-labelmgrd next to the same call answered by
//   the stand-in, which keeps its values in memory (goal: at most 1.2 times);
// - setLabelForPkg of 100,000 files through the service next to a bare SQLite
//   insert of the same rows in one transaction, with the service's schema and
//   pragmas (goal: at most 2 times).
// Each service runs on a private bus of its own; both are called with the
// same raw libdbus code. ZORV_TEST_STANDIN names the stand-in executable.
#include <benchmark/benchmark.h>
#include <dbus/dbus.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "service_daemon.h"
#include "store.h"

namespace {

constexpr int kFiles = 100000;

std::unique_ptr<zorvtest::PrivateBus> standinBus;
std::unique_ptr<zorvtest::ServiceDaemon> daemonBus;

using Message = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;

Message newCall(const char* member) {
    return Message(dbus_message_new_method_call("com.nimbo.zorv.labelmgr", "/org/freedesktop/DBus/nimbo/zorv/labelmgr",
                                                "com.nimbo.zorv.labelmgr", member),
                   dbus_message_unref);
}

// Sends `call` and reads one basic reply value into `out`; false on an error.
template <typename T>
bool roundTrip(DBusConnection* c, DBusMessage* call, int type, T* out) {
    DBusError error;
    dbus_error_init(&error);
    Message reply(dbus_connection_send_with_reply_and_block(c, call, 120000, &error), dbus_message_unref);
    bool ok = reply && dbus_message_get_args(reply.get(), &error, type, out, DBUS_TYPE_INVALID);
    dbus_error_free(&error);
    return ok;
}

void getFileTid(benchmark::State& state, const std::string& address) {
    zorvtest::ServiceConnection bus(address);
    const char* path = "/usr/bin/true";
    dbus_uint32_t tid = 7;
    dbus_int32_t option = 0, status = -1;
    Message set = newCall("setFileTid");
    dbus_message_append_args(set.get(), DBUS_TYPE_STRING, &path, DBUS_TYPE_UINT32, &tid, DBUS_TYPE_INT32, &option,
                             DBUS_TYPE_INVALID);
    if (!roundTrip(bus.get(), set.get(), DBUS_TYPE_INT32, &status) || status != 0) {
        state.SkipWithError("cannot set the tid");
        return;
    }
    for (auto _ : state) {
        Message call = newCall("getFileTid");
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &path, DBUS_TYPE_INVALID);
        if (!roundTrip(bus.get(), call.get(), DBUS_TYPE_UINT32, &tid) || tid != 7) state.SkipWithError("call failed");
    }
}

void BM_GetFileTid_Standin(benchmark::State& state) { getFileTid(state, standinBus->address()); }
void BM_GetFileTid_Service(benchmark::State& state) { getFileTid(state, daemonBus->address()); }

// Files of the package of round `round`: new paths each round, as a new
// package brings.
std::vector<std::string> packageFiles(int round) {
    std::vector<std::string> files;
    files.reserve(kFiles);
    for (int i = 0; i < kFiles; ++i)
        files.push_back("/usr/lib/bench" + std::to_string(round) + "/module" + std::to_string(i / 100) + "/file" +
                        std::to_string(i) + ".so");
    return files;
}

void BM_SetLabelForPkg_Service(benchmark::State& state) {
    zorvtest::ServiceConnection bus(daemonBus->address());
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::string> files = packageFiles(++round);
        std::string owner = "bench-pkg-" + std::to_string(round);
        Message call = newCall("setLabelForPkg");
        DBusMessageIter it, array;
        dbus_message_iter_init_append(call.get(), &it);
        dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "s", &array);
        for (const std::string& f : files) {
            const char* p = f.c_str();
            dbus_message_iter_append_basic(&array, DBUS_TYPE_STRING, &p);
        }
        dbus_message_iter_close_container(&it, &array);
        const char* o = owner.c_str();
        dbus_uint32_t type = 1;
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &o, DBUS_TYPE_UINT32, &type, DBUS_TYPE_INVALID);
        state.ResumeTiming();
        dbus_int32_t status = -1;
        if (!roundTrip(bus.get(), call.get(), DBUS_TYPE_INT32, &status) || status != 0) state.SkipWithError("call failed");
    }
}

void BM_SetLabelForPkg_BareSqlite(benchmark::State& state) {
    char dir[] = "/tmp/zorv-bench-XXXXXX";
    if (!mkdtemp(dir)) return state.SkipWithError("mkdtemp");
    {
        zorvd::Store store(std::string(dir) + "/bare.db");  // the service's schema and pragmas
        sqlite3* db = store.handle();
        sqlite3_stmt *addPackage = nullptr, *addFile = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO package(name) VALUES(?1)", -1, &addPackage, nullptr);
        sqlite3_prepare_v2(db, "INSERT INTO package_file(path, pkg_id, type) VALUES(?1, ?2, 1)", -1, &addFile, nullptr);
        int round = 0;
        for (auto _ : state) {
            state.PauseTiming();
            std::vector<std::string> files = packageFiles(++round);
            std::string owner = "bench-pkg-" + std::to_string(round);
            state.ResumeTiming();
            sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
            sqlite3_bind_text(addPackage, 1, owner.c_str(), -1, SQLITE_STATIC);
            sqlite3_step(addPackage);
            sqlite3_reset(addPackage);
            sqlite3_int64 pkg = sqlite3_last_insert_rowid(db);
            for (const std::string& f : files) {
                sqlite3_bind_text(addFile, 1, f.data(), int(f.size()), SQLITE_STATIC);
                sqlite3_bind_int64(addFile, 2, pkg);
                if (sqlite3_step(addFile) != SQLITE_DONE) state.SkipWithError("insert failed");
                sqlite3_reset(addFile);
            }
            if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) state.SkipWithError("commit");
        }
        sqlite3_finalize(addPackage);
        sqlite3_finalize(addFile);
    }
    std::system((std::string("rm -rf ") + dir).c_str());
}

}  // namespace

BENCHMARK(BM_GetFileTid_Standin)->MinTime(2.0);
BENCHMARK(BM_GetFileTid_Service)->MinTime(2.0);
BENCHMARK(BM_SetLabelForPkg_BareSqlite)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetLabelForPkg_Service)->Iterations(5)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (!std::getenv("ZORV_TEST_STANDIN")) {
        std::fprintf(stderr, "ZORV_TEST_STANDIN must name the stand-in service\n");
        return 1;
    }
    standinBus = std::make_unique<zorvtest::PrivateBus>();
    standinBus->start(true);
    daemonBus = std::make_unique<zorvtest::ServiceDaemon>(ZORV_DAEMON);
    daemonBus->start();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    daemonBus.reset();
    standinBus.reset();
    return 0;
}
