// The real service next to its baselines, in one run:
// - getFileTid answered by zorv-labelmgrd next to the same call answered by
//   the stand-in, scripted to answer with the same value (goal: at most 1.2 times);
// - setLabelForPkg of 100,000 files through the service next to a bare SQLite
//   insert of the same rows in one transaction, with the service's schema and
//   pragmas (goal: at most 2 times).
// Each service runs on a private bus of its own; both are called with the
// same raw libdbus code. setLabelForPkg goes as the raw "as s u" call too:
// the library's call logs one line per file, which would measure the logger.
#include <benchmark/benchmark.h>
#include <dbus/dbus.h>

#include <unistd.h>

#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "protocol/service_names.h"
#include "ratio.h"
#include "service_daemon.h"
#include "store.h"

namespace {

constexpr int kFiles = 100000;
int round_ = 0;  // each round labels a new package of new files

std::unique_ptr<zorvtest::PrivateBus> standinBus;
std::unique_ptr<zorvtest::ServiceDaemon> daemonBus;

using Message = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;

Message newCall(const char* member) {
    return Message(dbus_message_new_method_call(zorv::protocol::kServiceName, zorv::protocol::kObjectPath,
                                                zorv::protocol::kInterface, member),
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

// A connection to one service with the path's tid set to 7 (the stand-in is
// scripted to answer 7), and one getFileTid round trip on it.
struct TidCaller {
    TidCaller(const std::string& address, bool standin) : bus(address) {
        dbus_uint32_t tid = 7;
        dbus_int32_t option = 0, status = -1;
        if (standin) {
            const char* member = "getFileTid";
            Message script(dbus_message_new_method_call(zorv::protocol::kServiceName, zorv::protocol::kObjectPath,
                                                        zorv::protocol::kTestInterface,
                                                        zorv::protocol::standin_control::kScriptReply),
                           dbus_message_unref);
            dbus_message_append_args(script.get(), DBUS_TYPE_STRING, &member, DBUS_TYPE_UINT32, &tid,
                                     DBUS_TYPE_INVALID);
            Message reply(dbus_connection_send_with_reply_and_block(bus.get(), script.get(), 120000, nullptr),
                          dbus_message_unref);
            ready = reply && dbus_message_get_type(reply.get()) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
            return;
        }
        Message set = newCall("setFileTid");
        dbus_message_append_args(set.get(), DBUS_TYPE_STRING, &path, DBUS_TYPE_UINT32, &tid, DBUS_TYPE_INT32, &option,
                                 DBUS_TYPE_INVALID);
        ready = roundTrip(bus.get(), set.get(), DBUS_TYPE_INT32, &status) && status == 0;
    }
    bool call() {
        Message call = newCall("getFileTid");
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &path, DBUS_TYPE_INVALID);
        dbus_uint32_t tid = 0;
        return roundTrip(bus.get(), call.get(), DBUS_TYPE_UINT32, &tid) && tid == 7;
    }
    zorvtest::ServiceConnection bus;
    const char* path = "/usr/bin/true";
    bool ready = false;
};

// CPU time used so far by all threads of `pid`, in nanoseconds.
uint64_t cpuNs(pid_t pid) {
    uint64_t total = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        uint64_t ns = 0;
        std::ifstream(task.path() / "schedstat") >> ns;
        total += ns;
    }
    return total;
}

pid_t standinPid() {
    std::string socket = standinBus->address().substr(std::string("unix:path=").size());
    pid_t pid = 0;
    std::ifstream(socket.substr(0, socket.rfind('/')) + "/standin.pid") >> pid;
    return pid;
}

// Both services answer in every iteration, one after the other, so that both
// meet the same load on a shared machine; the time is the round trip of the
// one measured, and the counter service_cpu_us its CPU time per call.
void getFileTid(benchmark::State& state, bool measureService) {
    TidCaller standin(standinBus->address(), true), service(daemonBus->address(), false);
    if (!standin.ready || !service.ready) return state.SkipWithError("cannot set the tid");
    TidCaller& measured = measureService ? service : standin;
    TidCaller& other = measureService ? standin : service;
    pid_t pid = measureService ? daemonBus->pid() : standinPid();
    uint64_t cpu = 0;
    for (auto _ : state) {
        if (!other.call()) state.SkipWithError("call failed");
        uint64_t before = cpuNs(pid);
        auto start = std::chrono::steady_clock::now();
        if (!measured.call()) state.SkipWithError("call failed");
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpu += cpuNs(pid) - before;
    }
    state.counters["service_cpu_us"] = benchmark::Counter(double(cpu) / 1e3, benchmark::Counter::kAvgIterations);
}

void BM_GetFileTid_Standin(benchmark::State& state) { getFileTid(state, false); }
void BM_GetFileTid_Service(benchmark::State& state) { getFileTid(state, true); }

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

// The service's database (its schema and pragmas) and a bare insert of a
// package's rows into it, in one transaction.
class BareStore {
public:
    BareStore() : store_(std::string(dir_) + "/bare.db", zorvd::Store::Mode::Write) {
        sqlite3_prepare_v2(db(), "INSERT INTO package(name) VALUES(?1)", -1, &addPackage_, nullptr);
        sqlite3_prepare_v2(db(), "INSERT INTO package_file(path, pkg_id, type) VALUES(?1, ?2, 1)", -1, &addFile_,
                           nullptr);
    }
    ~BareStore() {
        sqlite3_finalize(addPackage_);
        sqlite3_finalize(addFile_);
    }
    bool insert(const std::string& owner, const std::vector<std::string>& files) {
        bool ok = sqlite3_exec(db(), "BEGIN", nullptr, nullptr, nullptr) == SQLITE_OK;
        sqlite3_bind_text(addPackage_, 1, owner.c_str(), -1, SQLITE_STATIC);
        ok = ok && sqlite3_step(addPackage_) == SQLITE_DONE;
        sqlite3_reset(addPackage_);
        sqlite3_int64 pkg = sqlite3_last_insert_rowid(db());
        for (const std::string& f : files) {
            sqlite3_bind_text(addFile_, 1, f.data(), int(f.size()), SQLITE_STATIC);
            sqlite3_bind_int64(addFile_, 2, pkg);
            ok = ok && sqlite3_step(addFile_) == SQLITE_DONE;
            sqlite3_reset(addFile_);
        }
        return sqlite3_exec(db(), "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    }

private:
    sqlite3* db() { return store_.handle(); }
    struct TempDir {
        TempDir() {
            if (!mkdtemp(path)) throw std::runtime_error("cannot make a scratch directory in /tmp");
        }
        ~TempDir() { std::filesystem::remove_all(path); }
        operator std::string() const { return path; }
        char path[32] = "/tmp/zorv-bench-XXXXXX";
    } dir_;
    zorvd::Store store_;
    sqlite3_stmt *addPackage_ = nullptr, *addFile_ = nullptr;
};

// The same package's files through the service, as one "as s u" call.
Message setLabelForPkgCall(const std::string& owner, const std::vector<std::string>& files) {
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
    return call;
}

// A new package each iteration, its rows or its message made untimed, as a
// caller has its list already.
void BM_SetLabelForPkg_BareSqlite(benchmark::State& state) {
    BareStore bare;
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::string> files = packageFiles(++round_);
        state.ResumeTiming();
        if (!bare.insert("bench-pkg-" + std::to_string(round_), files)) state.SkipWithError("insert failed");
    }
}

void BM_SetLabelForPkg_Service(benchmark::State& state) {
    zorvtest::ServiceConnection bus(daemonBus->address());
    for (auto _ : state) {
        state.PauseTiming();
        ++round_;
        Message call = setLabelForPkgCall("bench-pkg-" + std::to_string(round_), packageFiles(round_));
        state.ResumeTiming();
        dbus_int32_t status = -1;
        if (!roundTrip(bus.get(), call.get(), DBUS_TYPE_INT32, &status) || status != 0) state.SkipWithError("call failed");
    }
}

}  // namespace

BENCHMARK(BM_GetFileTid_Standin)->UseManualTime()->Iterations(5000)->Repetitions(5);
BENCHMARK(BM_GetFileTid_Service)->UseManualTime()->Iterations(5000)->Repetitions(5);
BENCHMARK(BM_SetLabelForPkg_BareSqlite)->Iterations(2)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SetLabelForPkg_Service)->Iterations(2)->Repetitions(5)->Unit(benchmark::kMillisecond);
int main(int argc, char** argv) {
    standinBus = std::make_unique<zorvtest::PrivateBus>();
    standinBus->start(true);
    daemonBus = std::make_unique<zorvtest::ServiceDaemon>(ZORV_DAEMON);
    daemonBus->start();
    // Repetitions of the service and of its baseline take turns, so that
    // both meet the same load on a shared machine.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int rc = zorvbench::runWithRatios(int(args.size()), args.data(), {
        {"getFileTid: service / stand-in", "BM_GetFileTid_Service", "BM_GetFileTid_Standin", 1.2,
         zorvbench::Measure::RealTime},
        {"setLabelForPkg of 100,000 files: service / bare SQLite insert", "BM_SetLabelForPkg_Service",
         "BM_SetLabelForPkg_BareSqlite", 2.0, zorvbench::Measure::RealTime},
    });
    daemonBus.reset();
    standinBus.reset();
    return rc;
}
