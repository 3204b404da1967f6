// Test access to the label manager service, the stand-in and private buses.
#pragma once

#include <dbus/dbus.h>
#include <gtest/gtest.h>
#include <zorv/labelmgr.h>

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "protocol/service_names.h"
#include "scratch_dir.h"

// Identifiers compare by their three numbers and print as pkg-file-path.
inline bool operator==(const ZORV_ID& a, const ZORV_ID& b) {
    return a.pkg_id == b.pkg_id && a.file_id == b.file_id && a.path_id == b.path_id;
}
inline void PrintTo(const ZORV_ID& id, std::ostream* out) {
    *out << id.pkg_id << "-" << id.file_id << "-" << id.path_id;
}

namespace zorvtest {

// A value to send, tagged with its D-Bus type. A list or dictionary takes its
// type from its element type, so an empty one is typed too.
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

// A private connection to the bus at `address` (by default the one named by
// DBUS_SYSTEM_BUS_ADDRESS, never the host's), made by whoever uses it: a
// forked child gets its own, as its own user.
class ServiceConnection {
public:
    using Reply = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;
    explicit ServiceConnection(const std::string& address = "");

    // A call of `member` of the service's `interface`, to send as the test likes.
    static Reply newCall(const char* interface, const std::string& member, const std::vector<WireValue>& args);
    // Calls `member` of the service's `interface`; on an error, returns null
    // and puts the error's name in `error`.
    Reply send(const char* interface, const std::string& member, const std::vector<WireValue>& args,
               std::string& error);
    // One call to the service, answered as text: the reply's arguments as the
    // stand-in renders them, or "error NAME" for an error reply.
    std::string call(const std::string& member, const std::vector<WireValue>& args = {},
                     const char* interface = nullptr);
    DBusConnection* get() const { return connection_.get(); }

private:
    static void close(DBusConnection* c) { dbus_connection_close(c); dbus_connection_unref(c); }
    std::unique_ptr<DBusConnection, void (*)(DBusConnection*)> connection_{nullptr, close};
};

struct Received {
    std::string member, signature, arguments;
};

// Scripts the stand-in service over its control interface.
class Standin {
public:
    void reset() { control(zorv::protocol::standin_control::kReset, "", {}); }
    void reply(const std::string& member, const std::vector<WireValue>& values) {
        control(zorv::protocol::standin_control::kScriptReply, member, values);
    }
    void error(const std::string& member, const std::string& name, const std::string& text) {
        control(zorv::protocol::standin_control::kScriptError, member, {name, text});
    }
    void delay(const std::string& member, uint32_t ms) {
        control(zorv::protocol::standin_control::kScriptDelay, member, {ms});
    }
    // The next caller of `member` first gets `count` signals it never asked for.
    void noise(const std::string& member, uint32_t count) {
        control(zorv::protocol::standin_control::kScriptNoise, member, {count});
    }
    std::vector<Received> received();

private:
    // One control call (naming `member` if given); an error fails the test.
    ServiceConnection::Reply control(const char* what, const std::string& member, std::vector<WireValue> values);
    ServiceConnection bus_;
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
    ~PrivateBus() { stop(); }
    const std::string& dir() const { return dir_.path(); }
    std::string address() const { return "unix:path=" + dir_ / "system_bus_socket"; }
    void start(bool withStandin);
    void stop();

private:
    ScratchDir dir_;
};

}  // namespace zorvtest
