#include "test_bus.h"

#include <cstdlib>
#include <stdexcept>

#include "client/service_names.h"

namespace zorvtest {

WireValue WireValue::dict(const std::string& sig, const std::vector<std::pair<WireValue, WireValue>>& entries) {
    WireValue out(0);
    out.signature = sig;
    for (const auto& [key, value] : entries) {
        out.items.emplace_back(0);
        out.items.back().signature = "{}";
        out.items.back().items = {key, value};
    }
    return out;
}

void appendWire(DBusMessageIter* it, const WireValue& v) {
    const char type = v.signature[0];
    if (type == 'a' || type == '{') {
        DBusMessageIter inner;
        dbus_message_iter_open_container(it, type == 'a' ? DBUS_TYPE_ARRAY : DBUS_TYPE_DICT_ENTRY,
                                         type == 'a' ? v.signature.c_str() + 1 : nullptr, &inner);
        for (const WireValue& item : v.items) appendWire(&inner, item);
        dbus_message_iter_close_container(it, &inner);
    } else if (type == 's') {
        const char* s = v.text.c_str();
        dbus_message_iter_append_basic(it, DBUS_TYPE_STRING, &s);
    } else {
        dbus_message_iter_append_basic(it, type, &v.basic);
    }
}

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

Standin::Reply Standin::control(const char* what, const std::string& member, const std::vector<WireValue>& values) {
    DBusMessage* call = dbus_message_new_method_call(zorv::protocol::kServiceName, zorv::protocol::kObjectPath,
                                                     zorv::protocol::kTestInterface, what);
    DBusMessageIter it;
    dbus_message_iter_init_append(call, &it);
    if (!member.empty()) appendWire(&it, member);
    for (const WireValue& v : values) appendWire(&it, v);
    DBusError error;
    dbus_error_init(&error);
    Reply reply(dbus_connection_send_with_reply_and_block(connection_, call, 5000, &error), dbus_message_unref);
    dbus_message_unref(call);
    if (!reply) {
        ADD_FAILURE() << "stand-in control " << what << ": " << (error.message ? error.message : "?");
        dbus_error_free(&error);
    }
    return reply;
}

std::vector<Received> Standin::received() {
    std::vector<Received> out;
    Reply reply = control("Received", "");
    if (!reply) return out;
    DBusMessageIter it, array;
    dbus_message_iter_init(reply.get(), &it);
    dbus_message_iter_recurse(&it, &array);
    for (; dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_STRUCT; dbus_message_iter_next(&array)) {
        DBusMessageIter record;
        dbus_message_iter_recurse(&array, &record);
        const char* fields[3] = {"", "", ""};
        for (auto& f : fields) {
            dbus_message_iter_get_basic(&record, &f);
            dbus_message_iter_next(&record);
        }
        out.push_back({fields[0], fields[1], fields[2]});
    }
    return out;
}

void PrivateBus::start(bool withStandin) {
    // The stand-in built with the tests, unless the environment names another.
    const char* standin = std::getenv("ZORV_TEST_STANDIN");
    std::string cmd = std::string(ZORV_TEST_BUS_SCRIPTS) + "/start-bus.sh '" + dir_.path() + "'";
    if (withStandin) cmd += std::string(" '") + (standin ? standin : ZORV_TEST_STANDIN_BUILT) + "'";
    if (std::system((cmd + " >/dev/null").c_str()) != 0) throw std::runtime_error("cannot start a private bus");
}

void PrivateBus::stop() {
    (void)std::system((std::string(ZORV_TEST_BUS_SCRIPTS) + "/stop-bus.sh '" + dir_.path() + "'").c_str());
}

}  // namespace zorvtest
