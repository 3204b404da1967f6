// One service call through the library next to the same round trip made with
// raw libdbus on the same private bus, and the cost of a filtered-out log call.
// Starts its own bus and stand-in service (ZORV_TEST_STANDIN names the stand-in
// executable; scripts/bench.sh sets it).
#include <benchmark/benchmark.h>
#include <dbus/dbus.h>
#include <zorv/labelmgr.hpp>

#include <cstdlib>
#include <cstdio>

#include "protocol/members.h"
#include "ratio.h"
#include "standin_bus.h"

namespace {

void BM_GetFileTid_Library(benchmark::State& state) {
    unsigned int tid = 0;
    for (auto _ : state) {
        if (getFileTid("/usr/bin/true", &tid) != 0) state.SkipWithError("call failed");
    }
}

void BM_GetFileTid_RawLibdbus(benchmark::State& state) {
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (!c) {
        state.SkipWithError("no bus");
        return;
    }
    const char* path = "/usr/bin/true";
    DBusError error;
    dbus_error_init(&error);
    for (auto _ : state) {
        DBusMessage* call = dbus_message_new_method_call(zorv::protocol::kServiceName, zorv::protocol::kObjectPath,
                                                         zorv::protocol::kInterface, zorv::protocol::getFileTid.name);
        dbus_message_append_args(call, DBUS_TYPE_STRING, &path, DBUS_TYPE_INVALID);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(c, call, zorv::protocol::kCallTimeoutMs, &error);
        dbus_uint32_t tid = 0;
        if (!reply || !dbus_message_get_args(reply, &error, DBUS_TYPE_UINT32, &tid, DBUS_TYPE_INVALID)) {
            state.SkipWithError(error.message ? error.message : "raw call failed");
            dbus_error_free(&error);
        }
        benchmark::DoNotOptimize(tid);
        if (reply) dbus_message_unref(reply);
        dbus_message_unref(call);
    }
    dbus_connection_close(c);
    dbus_connection_unref(c);
}

// Eight threads at once: raw libdbus with a connection per thread, next to the
// library's pooled connections.
void BM_GetFileTid_RawLibdbus_Threads(benchmark::State& state) { BM_GetFileTid_RawLibdbus(state); }
void BM_GetFileTid_Library_Threads(benchmark::State& state) { BM_GetFileTid_Library(state); }

void BM_LogDebugFilteredOut(benchmark::State& state) {
    Logger& log = Logger::getInstance();  // fallback configuration: INFO and above
    int i = 0;
    for (auto _ : state) {
        log.debug("bench", __LINE__, "value %d of %s", ++i, "something");
    }
}

}  // namespace

BENCHMARK(BM_GetFileTid_RawLibdbus)->MinTime(2.0);
BENCHMARK(BM_GetFileTid_Library)->MinTime(2.0);
BENCHMARK(BM_GetFileTid_RawLibdbus_Threads)->MinTime(2.0)->Threads(8)->UseRealTime();
BENCHMARK(BM_GetFileTid_Library_Threads)->MinTime(2.0)->Threads(8)->UseRealTime();
BENCHMARK(BM_LogDebugFilteredOut);

int main(int argc, char** argv) {
    zorvbench::StandinBus bus;
    unsigned int tid = 0;
    getFileTid("/warm/up", &tid);  // connection set up outside the timed loops
    return zorvbench::runWithRatios(argc, argv, {
        {"getFileTid / raw libdbus round trip", "BM_GetFileTid_Library", "BM_GetFileTid_RawLibdbus",
         1.1, zorvbench::Measure::RealTime},
        {"getFileTid on eight threads / raw libdbus, a connection per thread", "BM_GetFileTid_Library_Threads",
         "BM_GetFileTid_RawLibdbus_Threads", 1.1, zorvbench::Measure::RealTime},
        {"filtered-out debug log call", "BM_LogDebugFilteredOut", "", 30},
    });
}
