#include "test_bus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "client/service_names.h"

namespace zorvtest {

namespace {

void append(DBusMessageIter* it, const WireValue& v) {
    char type = v.signature[0];
    if (type == 'a') {
        DBusMessageIter array;
        dbus_message_iter_open_container(it, DBUS_TYPE_ARRAY, v.signature.c_str() + 1, &array);
        for (const WireValue& entry : v.items) {
            if (v.signature[1] != '{') {
                append(&array, entry);
                continue;
            }
            DBusMessageIter pair;
            dbus_message_iter_open_container(&array, DBUS_TYPE_DICT_ENTRY, nullptr, &pair);
            append(&pair, entry.items[0]);
            append(&pair, entry.items[1]);
            dbus_message_iter_close_container(&array, &pair);
        }
        dbus_message_iter_close_container(it, &array);
    } else if (type == 's') {
        const char* s = v.text.c_str();
        dbus_message_iter_append_basic(it, DBUS_TYPE_STRING, &s);
    } else {
        dbus_message_iter_append_basic(it, type, &v.basic);
    }
}

template <typename V>
WireValue dictOf(const std::map<std::string, V>& dict, const char* sig) {
    return WireValue::dict(sig, {dict.begin(), dict.end()});
}

}  // namespace

WireValue::WireValue(int32_t v) : signature("i") { basic.i32 = v; }
WireValue::WireValue(uint32_t v) : signature("u") { basic.u32 = v; }
WireValue::WireValue(uint64_t v) : signature("t") { basic.u64 = v; }
WireValue::WireValue(const char* v) : signature("s"), text(v) {}
WireValue::WireValue(const std::string& v) : signature("s"), text(v) {}
WireValue WireValue::dict(const char* sig, const std::vector<std::pair<WireValue, WireValue>>& entries) {
    WireValue out(0);
    out.signature = sig;
    for (auto& [key, value] : entries) {
        WireValue entry(0);
        entry.signature = "{}";
        entry.items = {key, value};
        out.items.push_back(entry);
    }
    return out;
}

WireValue::WireValue(const std::map<std::string, uint64_t>& dict) : WireValue(dictOf(dict, "a{st}")) {}
WireValue::WireValue(const std::map<std::string, uint32_t>& dict) : WireValue(dictOf(dict, "a{su}")) {}
WireValue::WireValue(const std::map<std::string, std::map<std::string, uint64_t>>& dict)
    : WireValue(dictOf(dict, "a{sa{st}}")) {}
WireValue::WireValue(const std::map<std::string, std::map<std::string, std::map<std::string, uint64_t>>>& dict)
    : WireValue(dictOf(dict, "a{sa{sa{st}}}")) {}
WireValue::WireValue(const std::vector<uint64_t>& list) : WireValue(0) {
    signature = "at";
    items.assign(list.begin(), list.end());
}
WireValue::WireValue(const std::vector<std::string>& list) : signature("as") {
    for (const std::string& s : list) items.emplace_back(s);
}
WireValue::WireValue(const std::map<std::string, std::string>& dict) : WireValue(dictOf(dict, "a{ss}")) {}
WireValue::WireValue(const std::map<std::string, std::vector<std::string>>& dict)
    : WireValue(dictOf(dict, "a{sas}")) {}

void appendWire(DBusMessageIter* it, const WireValue& v) { append(it, v); }

Standin::Standin() {
    DBusError error;
    dbus_error_init(&error);
    connection_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (!connection_) {
        std::string what = error.message ? error.message : "no bus";
        dbus_error_free(&error);
        throw std::runtime_error("cannot reach the test bus: " + what);
    }
    dbus_connection_set_exit_on_disconnect(connection_, FALSE);
}

Standin::~Standin() {
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
}

namespace {
using Reply = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;

// Sends one control call and returns its reply; fails the test on an error.
Reply control(DBusConnection* c, const char* member, const std::string& target,
              const std::vector<WireValue>& values) {
    DBusMessage* call = dbus_message_new_method_call(zorv::protocol::kServiceName, zorv::protocol::kObjectPath,
                                                     zorv::protocol::kTestInterface, member);
    DBusMessageIter it;
    dbus_message_iter_init_append(call, &it);
    if (!target.empty()) append(&it, WireValue(target));
    for (const WireValue& v : values) append(&it, v);
    DBusError error;
    dbus_error_init(&error);
    Reply reply(dbus_connection_send_with_reply_and_block(c, call, 5000, &error), dbus_message_unref);
    dbus_message_unref(call);
    if (!reply) {
        ADD_FAILURE() << "stand-in control " << member << ": " << (error.message ? error.message : "?");
        dbus_error_free(&error);
    }
    return reply;
}
}  // namespace

void Standin::reset() { control(connection_, "Reset", "", {}); }
void Standin::reply(const std::string& member, const std::vector<WireValue>& values) {
    control(connection_, "ScriptReply", member, values);
}
void Standin::error(const std::string& member, const std::string& name, const std::string& text) {
    control(connection_, "ScriptError", member, {WireValue(name), WireValue(text)});
}
void Standin::delay(const std::string& member, uint32_t ms) {
    control(connection_, "ScriptDelay", member, {WireValue(ms)});
}

std::vector<Received> Standin::received() {
    std::vector<Received> out;
    Reply reply = control(connection_, "Received", "", {});
    if (!reply) return out;
    DBusMessageIter it, array;
    dbus_message_iter_init(reply.get(), &it);
    dbus_message_iter_recurse(&it, &array);
    while (dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_STRUCT) {
        DBusMessageIter record;
        dbus_message_iter_recurse(&array, &record);
        const char* fields[3] = {"", "", ""};
        for (auto& f : fields) {
            dbus_message_iter_get_basic(&record, &f);
            dbus_message_iter_next(&record);
        }
        out.push_back({fields[0], fields[1], fields[2]});
        dbus_message_iter_next(&array);
    }
    return out;
}

PrivateBus::~PrivateBus() { stop(); }

void PrivateBus::start(bool withStandin) {
    // The stand-in built with the tests, unless the environment names another.
    const char* standin = std::getenv("ZORV_TEST_STANDIN");
    if (!standin) standin = ZORV_TEST_STANDIN_BUILT;
    std::string cmd = std::string(ZORV_TEST_BUS_SCRIPTS) + "/start-bus.sh '" + dir_.path() + "'";
    if (withStandin) cmd += std::string(" '") + standin + "'";
    cmd += " >/dev/null";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("cannot start a private bus");
}

void PrivateBus::stop() {
    std::string cmd = std::string(ZORV_TEST_BUS_SCRIPTS) + "/stop-bus.sh '" + dir_.path() + "'";
    (void)std::system(cmd.c_str());
}

}  // namespace zorvtest
