// Values to send to the service in a test, tagged with their D-Bus types.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zorvtest {

// A value to send, tagged with its D-Bus type; a list or dictionary takes it from its element type, even when empty.
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
    // A file descriptor passed with the call.
    static WireValue fd(int fd) {
        WireValue v(int32_t{fd});
        v.signature = "h";
        return v;
    }
    // A dictionary of signature `sig` with its entries in the order given.
    static WireValue dict(const std::string& sig, const std::vector<std::pair<WireValue, WireValue>>& entries);
};

}  // namespace zorvtest
