// showUserSetFileOid of 10,000 records next to a raw libdbus read of the same
// reply into a heap array sorted by path, on the same private bus and stand-in
// service. Goal: the library takes at most 1.5 times as long.
#include <benchmark/benchmark.h>
#include <dbus/dbus.h>
#include <zorv/labelmgr.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include "protocol/arguments.h"
#include "protocol/members.h"
#include "ratio.h"
#include "standin_bus.h"
#include "standin_control.h"

namespace {

constexpr int kRecords = 10000;

// Paths as a package might have them, sent in no particular order.
void scriptReply() {
    std::vector<std::pair<zorvtest::WireValue, zorvtest::WireValue>> entries;
    for (uint64_t i = 0; i < kRecords; ++i) {
        char path[64];
        std::snprintf(path, sizeof path, "/usr/lib/package%03llu/file%05llu.so", (unsigned long long)(i % 300),
                      (unsigned long long)i);
        entries.emplace_back(path, std::map<std::string, uint64_t>{{zorv::protocol::kIdKeyPkg, i},
                                                                   {zorv::protocol::kIdKeyFile, i + 1},
                                                                   {zorv::protocol::kIdKeyPath, i + 2}});
    }
    std::shuffle(entries.begin(), entries.end(), std::mt19937(7));
    zorvtest::Standin standin;
    standin.reset();
    standin.reply(zorv::protocol::showUserSetFileOid.name, {zorvtest::WireValue::dict("a{sa{st}}", entries)});
}

void BM_ShowUserSetFileOid_Library(benchmark::State& state) {
    for (auto _ : state) {
        UserSetRecord* records = nullptr;
        if (showUserSetFileOid(&records) != kRecords) state.SkipWithError("call failed");
        benchmark::DoNotOptimize(records);
        free(records);
    }
}

// The same reply read with libdbus alone: one array, filled in wire order,
// then sorted by path.
UserSetRecord* readRaw(DBusMessage* reply, int* count) {
    DBusMessageIter top, entries;
    dbus_message_iter_init(reply, &top);
    *count = dbus_message_iter_get_element_count(&top);
    auto* records = static_cast<UserSetRecord*>(std::calloc(*count, sizeof(UserSetRecord)));
    dbus_message_iter_recurse(&top, &entries);
    for (UserSetRecord* r = records; dbus_message_iter_get_arg_type(&entries) == DBUS_TYPE_DICT_ENTRY; ++r) {
        DBusMessageIter entry, fields;
        dbus_message_iter_recurse(&entries, &entry);
        const char* path = nullptr;
        dbus_message_iter_get_basic(&entry, &path);
        std::strncpy(r->path, path, sizeof r->path - 1);
        dbus_message_iter_next(&entry);
        dbus_message_iter_recurse(&entry, &fields);
        for (; dbus_message_iter_get_arg_type(&fields) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&fields)) {
            DBusMessageIter field;
            const char* key = nullptr;
            dbus_uint64_t value = 0;
            dbus_message_iter_recurse(&fields, &field);
            dbus_message_iter_get_basic(&field, &key);
            dbus_message_iter_next(&field);
            dbus_message_iter_get_basic(&field, &value);
            if (std::strcmp(key, zorv::protocol::kIdKeyPkg) == 0) r->id.pkg_id = value;
            else if (std::strcmp(key, zorv::protocol::kIdKeyFile) == 0) r->id.file_id = value;
            else if (std::strcmp(key, zorv::protocol::kIdKeyPath) == 0) r->id.path_id = value;
        }
        dbus_message_iter_next(&entries);
    }
    std::qsort(records, *count, sizeof(UserSetRecord), [](const void* a, const void* b) {
        return std::strcmp(static_cast<const UserSetRecord*>(a)->path, static_cast<const UserSetRecord*>(b)->path);
    });
    return records;
}

void BM_ShowUserSetFileOid_RawLibdbus(benchmark::State& state) {
    DBusConnection* c = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (!c) {
        state.SkipWithError("no bus");
        return;
    }
    namespace protocol = zorv::protocol;
    for (auto _ : state) {
        DBusMessage* call = dbus_message_new_method_call(protocol::kServiceName, protocol::kObjectPath,
                                                         protocol::kInterface, protocol::showUserSetFileOid.name);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(c, call, zorv::protocol::kCallTimeoutMs, nullptr);
        int count = 0;
        UserSetRecord* records = reply ? readRaw(reply, &count) : nullptr;
        if (count != kRecords) state.SkipWithError("raw call failed");
        benchmark::DoNotOptimize(records);
        free(records);
        if (reply) dbus_message_unref(reply);
        dbus_message_unref(call);
    }
    dbus_connection_close(c);
    dbus_connection_unref(c);
}

}  // namespace

BENCHMARK(BM_ShowUserSetFileOid_RawLibdbus)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_ShowUserSetFileOid_Library)->Unit(benchmark::kMillisecond)->Repetitions(5);

int main(int argc, char** argv) {
    zorvbench::StandinBus bus;
    scriptReply();
    UserSetRecord* warm = nullptr;
    if (showUserSetFileOid(&warm) > 0) free(warm);  // connection set up outside the timed loops
    return zorvbench::runWithRatios(argc, argv, {{"showUserSetFileOid / raw libdbus, 10,000 records",
                                                  "BM_ShowUserSetFileOid_Library", "BM_ShowUserSetFileOid_RawLibdbus",
                                                  1.5, zorvbench::Measure::RealTime}});
}
