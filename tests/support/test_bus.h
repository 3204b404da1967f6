// Test access to the stand-in service and to private buses.
#pragma once

#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "scratch_dir.h"

namespace zorvtest {

// A value the stand-in should reply with, tagged with its D-Bus type. A list
// or dictionary takes its type from its element type, so an empty one is
// typed too.
struct WireValue {
    std::string signature;
    std::vector<WireValue> items;  // array elements, or key and value of a dict entry
    DBusBasicValue basic{};
    std::string text;

    WireValue(int32_t v) : signature("i") { basic.i32 = v; }
    WireValue(uint32_t v) : signature("u") { basic.u32 = v; }
    WireValue(uint64_t v) : signature("t") { basic.u64 = v; }
    WireValue(const char* v) : signature("s"), text(v) {}
    WireValue(const std::string& v) : signature("s"), text(v) {}
    template <typename T>
    WireValue(const std::vector<T>& list) : signature("a" + WireValue(T{}).signature), items(list.begin(), list.end()) {}
    template <typename V>
    WireValue(const std::map<std::string, V>& map)
        : WireValue(dict("a{s" + WireValue(V{}).signature + "}", {map.begin(), map.end()})) {}
    // A dictionary of signature `sig` with its entries in the order given.
    static WireValue dict(const std::string& sig, const std::vector<std::pair<WireValue, WireValue>>& entries);
};

// Appends `v` to a message being written.
void appendWire(DBusMessageIter* it, const WireValue& v);

struct Received {
    std::string member, signature, arguments;
};

// Scripts the stand-in service over its control interface, on a connection of
// its own to the bus named by DBUS_SYSTEM_BUS_ADDRESS.
class Standin {
public:
    Standin();
    ~Standin();
    Standin(const Standin&) = delete;
    Standin& operator=(const Standin&) = delete;

    void reset() { control("Reset", {}); }
    void reply(const std::string& member, const std::vector<WireValue>& values) { control("ScriptReply", member, values); }
    void error(const std::string& member, const std::string& name, const std::string& text) {
        control("ScriptError", member, {name, text});
    }
    void delay(const std::string& member, uint32_t ms) { control("ScriptDelay", member, {ms}); }
    // The next caller of `member` first gets `count` signals it never asked for.
    void noise(const std::string& member, uint32_t count) { control("ScriptNoise", member, {count}); }
    std::vector<Received> received();

private:
    using Reply = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;
    // Sends one control call (naming `member` if given) and returns its reply;
    // fails the test on an error.
    Reply control(const char* what, const std::string& member, const std::vector<WireValue>& values = {});
    DBusConnection* connection_;
};

// A test against the stand-in, which starts without scripts or recorded calls.
class StandinTest : public ::testing::Test {
protected:
    void SetUp() override { standin.reset(); }
    Standin standin;
};

// A dbus-daemon of the test's own (and optionally the stand-in on it), in a
// fresh temporary directory; stopped when the object goes.
class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus() { stop(); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    std::string address() const { return "unix:path=" + dir_ / "system_bus_socket"; }
    void start(bool withStandin);
    void stop();

private:
    ScratchDir dir_;
};

}  // namespace zorvtest
