// Test access to the stand-in service and to private buses.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace zorvtest {

// A value the stand-in should reply with, tagged with its D-Bus type.
struct WireValue {
    std::string signature;
    std::vector<WireValue> items;  // array elements, or key and value of a dict entry
    DBusBasicValue basic{};
    std::string text;

    WireValue(int32_t v);
    WireValue(uint32_t v);
    WireValue(uint64_t v);
    WireValue(const char* v);
    WireValue(const std::string& v);
    WireValue(const std::map<std::string, uint64_t>& dict);
    WireValue(const std::map<std::string, uint32_t>& dict);
    WireValue(const std::map<std::string, std::map<std::string, uint64_t>>& dict);
    WireValue(const std::map<std::string, std::map<std::string, std::map<std::string, uint64_t>>>& dict);
    WireValue(const std::vector<uint64_t>& list);
    // A dictionary of signature `sig` with its entries in the order given.
    static WireValue dict(const char* sig, const std::vector<std::pair<WireValue, WireValue>>& entries);
    WireValue(const std::vector<std::string>& list);
    WireValue(const std::map<std::string, std::string>& dict);
    WireValue(const std::map<std::string, std::vector<std::string>>& dict);
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

    void reset();
    void reply(const std::string& member, const std::vector<WireValue>& values);
    void error(const std::string& member, const std::string& name, const std::string& text);
    void delay(const std::string& member, uint32_t ms);
    std::vector<Received> received();

private:
    DBusConnection* connection_;
};

// A dbus-daemon of the test's own (and optionally the stand-in on it), in a
// fresh temporary directory; stopped when the object goes.
class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    std::string address() const { return "unix:path=" + dir_ / "system_bus_socket"; }
    void start(bool withStandin);
    void stop();

private:
    ScratchDir dir_;
};

}  // namespace zorvtest
