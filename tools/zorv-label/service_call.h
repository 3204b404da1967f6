// The tool's calls of the service that the library does not make for it: the
// administration interface, and the one label call the library will not send
// (an empty file list). Each goes through Call<member>, as the library's own
// calls do: Call<protocol::admin::Backup>(wire::Descriptor{fd}).invoke(admin,
// size). The member's entry gives the name, the interface and the time limit;
// the C++ types of the arguments and of the reply must give the entry's
// signatures, or the call does not compile; and a reply of another signature
// is refused before any of it is read.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <map>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "admin_client.h"
#include "protocol/members.h"
#include "protocol/wire_signature.h"
#include "tool.h"

namespace zorvtool {

namespace wire = zorv::wire;

// Writing arguments into a call. Declared before the templates, so that each
// of them finds the others whatever namespace the element type lives in.
void appendValue(DBusMessageIter& it, int32_t value);
void appendValue(DBusMessageIter& it, uint32_t value);
void appendValue(DBusMessageIter& it, uint64_t value);
void appendValue(DBusMessageIter& it, const std::string& value);
void appendValue(DBusMessageIter& it, wire::Descriptor value);
template <typename T>
void appendValue(DBusMessageIter& it, const std::vector<T>& values);

// Reading a reply whose signature has been checked: each read takes one
// value and moves past it.
void readValue(DBusMessageIter& it, int32_t& value);
void readValue(DBusMessageIter& it, uint32_t& value);
void readValue(DBusMessageIter& it, uint64_t& value);
void readValue(DBusMessageIter& it, std::string& value);
template <typename T>
void readValue(DBusMessageIter& it, std::vector<T>& values);
template <typename K, typename V>
void readValue(DBusMessageIter& it, std::map<K, V>& values);
template <typename T>
auto readValue(DBusMessageIter& it, T& value) -> decltype(value.fields(), void());

// Arrays of basic values only: no call of the tool sends more.
template <typename T>
void appendValue(DBusMessageIter& it, const std::vector<T>& values) {
    const char element[] = {wire::Code<T>::code, '\0'};
    DBusMessageIter items;
    if (!dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, element, &items)) throw std::bad_alloc();
    for (const T& value : values) appendValue(items, value);
    if (!dbus_message_iter_close_container(&it, &items)) throw std::bad_alloc();
}

template <typename T>
void readValue(DBusMessageIter& it, std::vector<T>& values) {
    DBusMessageIter items;
    dbus_message_iter_recurse(&it, &items);
    while (dbus_message_iter_get_arg_type(&items) != DBUS_TYPE_INVALID) {
        values.emplace_back();
        readValue(items, values.back());
    }
    dbus_message_iter_next(&it);
}

template <typename K, typename V>
void readValue(DBusMessageIter& it, std::map<K, V>& values) {
    DBusMessageIter items;
    dbus_message_iter_recurse(&it, &items);
    for (; dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&items)) {
        DBusMessageIter entry;
        dbus_message_iter_recurse(&items, &entry);
        K key{};
        V value{};
        readValue(entry, key);
        readValue(entry, value);
        values[std::move(key)] = std::move(value);
    }
    dbus_message_iter_next(&it);
}

template <typename T>
auto readValue(DBusMessageIter& it, T& value) -> decltype(value.fields(), void()) {
    DBusMessageIter fields;
    dbus_message_iter_recurse(&it, &fields);
    std::apply([&fields](auto&... field) { (readValue(fields, field), ...); }, value.fields());
    dbus_message_iter_next(&it);
}

// Whether `member` is one of the administration interface's.
constexpr bool isAdminMember(const zorv::protocol::Member& member) {
    for (const zorv::protocol::Member* m : zorv::protocol::admin::kMembers)
        if (m == &member) return true;
    return false;
}

// The message of a call of `member`, on the interface it belongs to.
AdminClient::Message newCall(const zorv::protocol::Member& member, bool admin);
// Refuses (Failure) a reply that does not have `member`'s out-signature.
void checkReply(const zorv::protocol::Member& member, DBusMessage* reply);

template <const zorv::protocol::Member& M>
class Call {
public:
    template <typename... In>
    explicit Call(const In&... in) : message_(newCall(M, isAdminMember(M))) {
        static_assert(wire::travelsAs<In...>(M.in), "arguments disagree with the protocol table's in-signature");
        DBusMessageIter it;
        dbus_message_iter_init_append(message_.get(), &it);
        (appendValue(it, in), ...);
    }

    // Sends the call, waits for the reply and reads it into `out`; a D-Bus
    // error, a timeout or a reply of another shape is a Failure.
    template <typename... Out>
    void invoke(AdminClient& admin, Out&... out) {
        static_assert(wire::travelsAs<Out...>(M.out), "reply types disagree with the protocol table's out-signature");
        AdminClient::Message reply = admin.call(message_.get(), M.timeoutMs);
        readReply(reply.get(), out...);
    }

    // The same in two steps, for a call whose answer comes partly through a
    // descriptor it passed: send() returns once the call has left and lets
    // go of the message (and of its copies of the descriptors); finish()
    // waits for the reply and reads it.
    void send(AdminClient& admin) {
        pending_ = admin.send(message_.get(), M.timeoutMs);
        message_.reset();
    }
    template <typename... Out>
    void finish(AdminClient& admin, Out&... out) {
        static_assert(wire::travelsAs<Out...>(M.out), "reply types disagree with the protocol table's out-signature");
        AdminClient::Message reply = admin.wait(std::move(pending_));
        readReply(reply.get(), out...);
    }

private:
    template <typename... Out>
    static void readReply(DBusMessage* reply, Out&... out) {
        checkReply(M, reply);
        DBusMessageIter it;
        dbus_message_iter_init(reply, &it);
        (readValue(it, out), ...);
    }

    AdminClient::Message message_;
    AdminClient::Pending pending_{nullptr, dbus_pending_call_unref};
};

// Runs `body`; a Failure from it is thrown again with its message led by
// `context` ("packages: ...").
template <typename Body>
auto inContext(const std::string& context, Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const Failure& f) {
        throw Failure(f.code, context + ": " + f.what());
    }
}

}  // namespace zorvtool
