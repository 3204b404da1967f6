#include "service_connection.h"

#include <cstdlib>
#include <stdexcept>

#include "message_text.h"
#include "protocol/service_names.h"

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

static void appendWire(DBusMessageIter* it, const WireValue& v) {
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

ServiceConnection::ServiceConnection(const std::string& address) {
    const char* bus = address.empty() ? std::getenv("DBUS_SYSTEM_BUS_ADDRESS") : address.c_str();
    connection_.reset(bus ? dbus_connection_open_private(bus, nullptr) : nullptr);
    if (connection_ && !dbus_bus_register(get(), nullptr)) connection_.reset();
    if (!connection_) throw std::runtime_error("cannot reach the test bus");
    dbus_connection_set_exit_on_disconnect(get(), FALSE);
}

ServiceConnection::Reply ServiceConnection::newCall(const char* interface, const std::string& member,
                                                    const std::vector<WireValue>& args) {
    using namespace zorv::protocol;
    Reply call(dbus_message_new_method_call(kServiceName, kObjectPath, interface, member.c_str()), dbus_message_unref);
    DBusMessageIter it;
    dbus_message_iter_init_append(call.get(), &it);
    for (const WireValue& v : args) appendWire(&it, v);
    return call;
}

ServiceConnection::Reply ServiceConnection::send(const char* interface, const std::string& member,
                                                 const std::vector<WireValue>& args, std::string& error,
                                                 std::string* message) {
    Reply call = newCall(interface, member, args);
    DBusError e;
    dbus_error_init(&e);
    // Generous: the largest requests take seconds under the sanitizers, with both cores busy.
    constexpr int kReplyTimeoutMs = 120000;
    Reply reply(dbus_connection_send_with_reply_and_block(get(), call.get(), kReplyTimeoutMs, &e), dbus_message_unref);
    if (!reply) error = e.name ? e.name : "?";
    if (!reply && message) *message = e.message ? e.message : "";
    dbus_error_free(&e);
    return reply;
}

std::string ServiceConnection::call(const std::string& member, const std::vector<WireValue>& args,
                                    const char* interface) {
    std::string error;
    Reply reply = send(interface ? interface : zorv::protocol::kInterface, member, args, error);
    if (!reply) return "error " + error;
    DBusMessageIter it;
    dbus_message_iter_init(reply.get(), &it);
    return standin::renderAll(&it, " ");
}

}  // namespace zorvtest
