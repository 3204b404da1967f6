// setLabelForPkg with the 100,000 files of a large package, next to the same
// "setLabelForPkg" call (as, s, u) built and sent with raw libdbus, both to
// the stand-in service on one private bus. The library's per-file log lines
// go to a file through log4cpp with the library's own layout, as they would
// on a host. Starts its own bus (ZORV_TEST_STANDIN names the stand-in
// executable; scripts/bench.sh sets it).
#include <benchmark/benchmark.h>
#include <dbus/dbus.h>
#include <zorv/labelmgr.hpp>

#include <log4cpp/Category.hh>
#include <log4cpp/FileAppender.hh>
#include <log4cpp/PatternLayout.hh>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "protocol/arguments.h"
#include "protocol/members.h"
#include "ratio.h"
#include "standin_bus.h"
#include "standin_control.h"

namespace {

constexpr int kFiles = 100000;
const char* const kLogFile = "/tmp/zorv-bulk-bench.log";

// Paths of the length and shape a package installs.
struct Package {
    std::vector<std::string> names;
    std::vector<char*> files;
    Package() {
        for (int i = 0; i < kFiles; ++i) {
            names.push_back("/usr/lib/zorv-bench/share/" + std::to_string(i % 97) + "/file_" + std::to_string(i) +
                            ".so");
        }
        for (std::string& n : names) files.push_back(&n[0]);
    }
};

Package& package() {
    static Package p;
    return p;
}

// Starts every iteration with an empty log file and a stand-in that has
// forgotten earlier calls, outside the timed part.
void freshStart(benchmark::State& state, zorvtest::Standin& standin, log4cpp::FileAppender* appender) {
    state.PauseTiming();
    standin.reset();
    ::unlink(kLogFile);
    if (appender) appender->reopen();
    state.ResumeTiming();
}

void BM_SetLabelForPkg_RawLibdbus(benchmark::State& state) {
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (!c) {
        state.SkipWithError("no bus");
        return;
    }
    zorvtest::Standin standin;
    const char* owner = "bench-pkg";
    const dbus_uint32_t type = zorv::protocol::kPackageTypePackage;
    DBusError error;
    dbus_error_init(&error);
    for (auto _ : state) {
        freshStart(state, standin, nullptr);
        DBusMessage* call = dbus_message_new_method_call(zorv::protocol::kServiceName, zorv::protocol::kObjectPath,
                                                         zorv::protocol::kInterface,
                                                         zorv::protocol::setLabelForPkg.name);
        DBusMessageIter args, files;
        dbus_message_iter_init_append(call, &args);
        dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &files);
        for (const char* f : package().files) dbus_message_iter_append_basic(&files, DBUS_TYPE_STRING, &f);
        dbus_message_iter_close_container(&args, &files);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &owner);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &type);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(c, call, 100000, &error);
        dbus_int32_t status = -1;
        if (!reply || !dbus_message_get_args(reply, &error, DBUS_TYPE_INT32, &status, DBUS_TYPE_INVALID) ||
            status != 0) {
            state.SkipWithError(error.message ? error.message : "raw call failed");
            dbus_error_free(&error);
        }
        if (reply) dbus_message_unref(reply);
        dbus_message_unref(call);
    }
    dbus_connection_close(c);
    dbus_connection_unref(c);
}

void BM_SetLabelForPkg_Library(benchmark::State& state) {
    // Everything the library logs goes to one file with its fallback layout.
    Logger::getInstance();
    log4cpp::Category& root = log4cpp::Category::getRoot();
    root.removeAllAppenders();
    auto* appender = new log4cpp::FileAppender("bench", kLogFile, false);
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%d{%Y-%m-%d %H:%M:%S.%l} %t [%p] %m %n");
    appender->setLayout(layout);
    root.addAppender(appender);
    root.setPriority(log4cpp::Priority::INFO);
    zorvtest::Standin standin;
    for (auto _ : state) {
        freshStart(state, standin, appender);
        if (setLabelForPkg(package().files.data(), kFiles, "bench-pkg") != 0) state.SkipWithError("call failed");
    }
    std::ifstream log(kLogFile, std::ios::binary);
    const long lines = std::count(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>(), '\n');
    state.counters["log_lines"] = double(lines);  // per file, start and timer lines of the last call
    root.removeAllAppenders();
    ::unlink(kLogFile);
}

}  // namespace

BENCHMARK(BM_SetLabelForPkg_RawLibdbus)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);
BENCHMARK(BM_SetLabelForPkg_Library)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5);

int main(int argc, char** argv) {
    zorvbench::StandinBus bus;
    package();
    setLabelForPkg(package().files.data(), 1, "warm-up");  // connection set up outside the timed loops
    return zorvbench::runWithRatios(argc, argv, {{"setLabelForPkg / raw libdbus, 100,000 paths, log lines to a file",
                                                  "BM_SetLabelForPkg_Library", "BM_SetLabelForPkg_RawLibdbus", 1.5,
                                                  zorvbench::Measure::RealTime}});
}
