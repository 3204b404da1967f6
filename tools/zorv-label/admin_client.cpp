#include "admin_client.h"

#include <cstring>

#include "tool.h"

namespace zorvtool {

namespace {

void closeBus(DBusConnection* c) {
    dbus_connection_close(c);
    dbus_connection_unref(c);
}

struct ErrorHolder {
    ErrorHolder() { dbus_error_init(&e); }
    ~ErrorHolder() { dbus_error_free(&e); }
    DBusError e;
};

}  // namespace

AdminClient::AdminClient() : bus_(nullptr, closeBus) {
    ErrorHolder error;
    bus_.reset(dbus_bus_get_private(DBUS_BUS_SYSTEM, &error.e));
    if (!bus_) throw Failure(kUnreachable, std::string("cannot reach the system bus: ") + error.e.message);
    dbus_connection_set_exit_on_disconnect(bus_.get(), FALSE);
}

namespace {

// A D-Bus error as a Failure with a message for people.
[[noreturn]] void failed(const DBusError& error) {
    const std::string name = error.name ? error.name : "";
    const std::string text = error.message ? error.message : "";
    if (name == DBUS_ERROR_ACCESS_DENIED) throw Failure(kRefused, "permission denied: only root may do this");
    if (name == DBUS_ERROR_SERVICE_UNKNOWN || name == DBUS_ERROR_NAME_HAS_NO_OWNER)
        throw Failure(kUnreachable, "the label manager service is not running");
    if (name == DBUS_ERROR_NO_REPLY || name == DBUS_ERROR_TIMEOUT)
        throw Failure(kRefused, "the label manager service did not answer in time");
    if (name == DBUS_ERROR_UNKNOWN_METHOD)
        throw Failure(kRefused, "the label manager service does not offer this call (is it older than the tool?)");
    throw Failure(kRefused, text.empty() ? "the call failed" : text);
}

}  // namespace

AdminClient::Message AdminClient::call(DBusMessage* message, int timeoutMs) {
    ErrorHolder error;
    Message reply(dbus_connection_send_with_reply_and_block(bus_.get(), message, timeoutMs, &error.e),
                  dbus_message_unref);
    if (reply) return reply;
    failed(error.e);
}

AdminClient::Pending AdminClient::send(DBusMessage* message, int timeoutMs) {
    DBusPendingCall* pending = nullptr;
    if (!dbus_connection_send_with_reply(bus_.get(), message, &pending, timeoutMs))
        throw std::bad_alloc();
    if (pending == nullptr) throw Failure(kUnreachable, "cannot reach the system bus: it has closed the connection");
    Pending owned(pending, dbus_pending_call_unref);
    dbus_connection_flush(bus_.get());
    return owned;
}

AdminClient::Message AdminClient::wait(Pending pending) {
    dbus_pending_call_block(pending.get());
    Message reply(dbus_pending_call_steal_reply(pending.get()), dbus_message_unref);
    if (!reply) throw Failure(kRefused, "the label manager service did not answer in time");
    ErrorHolder error;
    if (dbus_set_error_from_message(&error.e, reply.get())) failed(error.e);
    return reply;
}

}  // namespace zorvtool
