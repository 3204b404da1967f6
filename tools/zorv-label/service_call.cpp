#include "service_call.h"

namespace zorvtool {

namespace {

template <typename T>
void appendBasic(DBusMessageIter& it, int type, const T& value) {
    if (!dbus_message_iter_append_basic(&it, type, &value)) throw std::bad_alloc();
}

template <typename Wire, typename T>
void readBasic(DBusMessageIter& it, T& value) {
    Wire wire{};
    dbus_message_iter_get_basic(&it, &wire);
    value = wire;
    dbus_message_iter_next(&it);
}

}  // namespace

void appendValue(DBusMessageIter& it, int32_t value) { appendBasic<dbus_int32_t>(it, DBUS_TYPE_INT32, value); }
void appendValue(DBusMessageIter& it, uint32_t value) { appendBasic<dbus_uint32_t>(it, DBUS_TYPE_UINT32, value); }
void appendValue(DBusMessageIter& it, uint64_t value) { appendBasic<dbus_uint64_t>(it, DBUS_TYPE_UINT64, value); }
void appendValue(DBusMessageIter& it, const std::string& value) { appendBasic(it, DBUS_TYPE_STRING, value.c_str()); }
// libdbus sends a copy of the descriptor; the caller keeps its own.
void appendValue(DBusMessageIter& it, wire::Descriptor value) { appendBasic(it, DBUS_TYPE_UNIX_FD, value.fd); }

void readValue(DBusMessageIter& it, int32_t& value) { readBasic<dbus_int32_t>(it, value); }
void readValue(DBusMessageIter& it, uint32_t& value) { readBasic<dbus_uint32_t>(it, value); }
void readValue(DBusMessageIter& it, uint64_t& value) { readBasic<dbus_uint64_t>(it, value); }
void readValue(DBusMessageIter& it, std::string& value) { readBasic<const char*>(it, value); }

AdminClient::Message newCall(const zorv::protocol::Member& member, bool admin) {
    using namespace zorv::protocol;
    AdminClient::Message m(
        dbus_message_new_method_call(kServiceName, kObjectPath, admin ? kAdminInterface : kInterface, member.name),
        dbus_message_unref);
    if (!m) throw std::bad_alloc();
    return m;
}

void checkReply(const zorv::protocol::Member& member, DBusMessage* reply) {
    if (!dbus_message_has_signature(reply, member.out))
        throw Failure(kRefused, std::string("the service answered ") + member.name + " with something else");
}

}  // namespace zorvtool
