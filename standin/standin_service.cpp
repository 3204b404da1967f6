#include "standin_service.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "message_text.h"
#include "protocol/interface_xml.h"
#include "protocol/members.h"

namespace standin {

namespace {

namespace protocol = zorv::protocol;
namespace control = zorv::protocol::standin_control;

// "Received" answers with the records in one message, which the bus carries
// only up to its size limit: the arguments of a huge call are recorded cut.
constexpr std::size_t kRecordBytes = std::size_t(4) << 20;

bool copyValues(DBusMessageIter* from, DBusMessageIter* to);

// Copies the one value at `from` into `to`.
bool copyValue(DBusMessageIter* from, DBusMessageIter* to) {
    int type = dbus_message_iter_get_arg_type(from);
    if (type == DBUS_TYPE_INVALID) return false;
    if (dbus_type_is_basic(type)) {
        DBusBasicValue v;
        dbus_message_iter_get_basic(from, &v);
        return dbus_message_iter_append_basic(to, type, &v);
    }
    DBusMessageIter subFrom, subTo;
    dbus_message_iter_recurse(from, &subFrom);
    char* contained = nullptr;
    if (type == DBUS_TYPE_ARRAY || type == DBUS_TYPE_VARIANT) {
        contained = type == DBUS_TYPE_ARRAY ? dbus_message_iter_get_signature(from)
                                            : dbus_message_iter_get_signature(&subFrom);
    }
    const char* sig = contained ? (type == DBUS_TYPE_ARRAY ? contained + 1 : contained) : nullptr;
    bool ok = dbus_message_iter_open_container(to, type, sig, &subTo) && copyValues(&subFrom, &subTo) &&
              dbus_message_iter_close_container(to, &subTo);
    dbus_free(contained);
    return ok;
}

// Copies the values from `from` to the end of its container into `to`.
bool copyValues(DBusMessageIter* from, DBusMessageIter* to) {
    for (; dbus_message_iter_get_arg_type(from) != DBUS_TYPE_INVALID; dbus_message_iter_next(from))
        if (!copyValue(from, to)) return false;
    return true;
}

// Appends a plain value of every complete type in `signature`: 0 for int32,
// 1 for unsigned numbers, "ok" for strings, empty containers.
void appendDefaults(DBusMessageIter* to, const char* signature) {
    if (!*signature) return;
    DBusSignatureIter sig;
    dbus_signature_iter_init(&sig, signature);
    do {
        int type = dbus_signature_iter_get_current_type(&sig);
        DBusBasicValue v;
        std::memset(&v, 0, sizeof v);
        if (type == DBUS_TYPE_ARRAY) {
            char* whole = dbus_signature_iter_get_signature(&sig);
            DBusMessageIter sub;
            dbus_message_iter_open_container(to, DBUS_TYPE_ARRAY, whole + 1, &sub);
            dbus_message_iter_close_container(to, &sub);
            dbus_free(whole);
            continue;
        }
        if (type == DBUS_TYPE_STRING) v.str = const_cast<char*>("ok");
        if (type == DBUS_TYPE_UINT32) v.u32 = 1;
        if (type == DBUS_TYPE_UINT64) v.u64 = 1;
        dbus_message_iter_append_basic(to, type, &v);
    } while (dbus_signature_iter_next(&sig));
}

// The entry of the method `name` of the call's interface: the label interface,
// or the administration interface that the tool calls.
const protocol::Member* findMember(DBusMessage* call, const char* name) {
    const char* iface = dbus_message_get_interface(call);
    if (name == nullptr) return nullptr;
    if (iface == nullptr || std::strcmp(iface, protocol::kAdminInterface) != 0) return protocol::findMember(name);
    for (const protocol::Member* m : protocol::admin::kMembers)
        if (std::strcmp(m->name, name) == 0) return m;
    return nullptr;
}

MessagePtr errorReply(DBusMessage* call, const char* name, const std::string& text) {
    return MessagePtr(dbus_message_new_error(call, name, text.c_str()));
}

}  // namespace

Service::Service() {
    DBusError error;
    dbus_error_init(&error);
    connection_.reset(dbus_bus_get_private(DBUS_BUS_SYSTEM, &error));
    if (!connection_) {
        std::string what = std::string("cannot reach the bus: ") + (error.message ? error.message : "?");
        dbus_error_free(&error);
        throw std::runtime_error(what);
    }
    dbus_connection_set_exit_on_disconnect(connection_.get(), FALSE);
    int rc = dbus_bus_request_name(connection_.get(), protocol::kServiceName, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error);
    if (rc != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        std::string what = std::string("cannot own ") + protocol::kServiceName;
        dbus_error_free(&error);
        throw std::runtime_error(what);
    }
}

void Service::run() {
    while (dbus_connection_read_write(connection_.get(), msUntilNextDue())) {
        while (DBusMessage* raw = dbus_connection_pop_message(connection_.get())) {
            MessagePtr message(raw);
            handle(message.get());
        }
        sendDue();
    }
    dbus_connection_flush(connection_.get());
}

void Service::handle(DBusMessage* message) {
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_CALL) return;
    const char* iface = dbus_message_get_interface(message);
    if (iface && std::strcmp(iface, protocol::kTestInterface) == 0)
        answerControl(message);
    else if (iface && std::strcmp(iface, DBUS_INTERFACE_INTROSPECTABLE) == 0)
        answerIntrospection(message);
    else
        answerService(message);
}

void Service::answerService(DBusMessage* call) {
    const char* member = dbus_message_get_member(call);
    const char* signature = dbus_message_get_signature(call);
    DBusMessageIter args;
    dbus_message_iter_init(call, &args);
    std::string arguments = renderAll(&args, " ");
    if (arguments.size() > kRecordBytes) {
        arguments.resize(kRecordBytes);
        arguments += "...";
    }
    records_.push_back({member ? member : "", signature, std::move(arguments)});

    const protocol::Member* known = findMember(call, member);
    if (!known) {
        send(errorReply(call, DBUS_ERROR_UNKNOWN_METHOD, std::string("no method ") + (member ? member : "")), 0);
        return;
    }
    if (std::strcmp(signature, known->in) != 0) {
        send(errorReply(call, DBUS_ERROR_INVALID_ARGS,
                        std::string("signature ") + signature + ", expected " + known->in),
             0);
        return;
    }
    auto scripted = scripts_.find(member);
    Script none;
    Script& script = scripted == scripts_.end() ? none : scripted->second;
    for (; script.noise > 0; --script.noise) {
        MessagePtr noise(dbus_message_new_signal("/test/stray", "com.example.Stray", "Noise"));
        dbus_message_set_destination(noise.get(), dbus_message_get_sender(call));
        send(std::move(noise), 0);
    }
    if (!script.errorName.empty()) {
        send(errorReply(call, script.errorName.c_str(), script.errorText), script.delayMs);
        return;
    }
    MessagePtr reply(dbus_message_new_method_return(call));
    DBusMessageIter out;
    dbus_message_iter_init_append(reply.get(), &out);
    if (script.replyFrom) {
        DBusMessageIter from;
        dbus_message_iter_init(script.replyFrom.get(), &from);
        dbus_message_iter_next(&from);  // the member name
        copyValues(&from, &out);
    } else {
        appendDefaults(&out, known->out);
    }
    send(std::move(reply), script.delayMs);
}

void Service::answerControl(DBusMessage* call) {
    std::string member = dbus_message_get_member(call);
    DBusMessageIter args;
    dbus_message_iter_init(call, &args);
    std::string target;
    if (dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_STRING) {
        const char* s = nullptr;
        dbus_message_iter_get_basic(&args, &s);
        target = s;
    }
    MessagePtr reply(dbus_message_new_method_return(call));
    if (member == control::kReset) {
        scripts_.clear();
        records_.clear();
    } else if (member == control::kScriptReply && !target.empty()) {
        Script& s = scripts_[target];
        s.errorName.clear();
        s.replyFrom.reset(dbus_message_ref(call));
    } else if (member == control::kScriptError && !target.empty()) {
        const char *ignored = nullptr, *name = nullptr, *text = nullptr;
        if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &ignored, DBUS_TYPE_STRING, &name,
                                   DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID)) {
            reply = errorReply(call, DBUS_ERROR_INVALID_ARGS, "ScriptError takes (sss)");
        } else {
            Script& s = scripts_[target];
            s.errorName = name;
            s.errorText = text;
        }
    } else if ((member == control::kScriptDelay || member == control::kScriptNoise) && !target.empty()) {
        const char* ignored = nullptr;
        dbus_uint32_t n = 0;
        if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &ignored, DBUS_TYPE_UINT32, &n,
                                   DBUS_TYPE_INVALID))
            reply = errorReply(call, DBUS_ERROR_INVALID_ARGS, member + " takes (su)");
        else if (member == control::kScriptDelay)
            scripts_[target].delayMs = static_cast<int>(n);
        else
            scripts_[target].noise = n;
    } else if (member == control::kSendPending) {
        // Delayed replies go out now, ahead of this one.
        for (Pending& p : pending_) dbus_connection_send(connection_.get(), p.reply.get(), nullptr);
        pending_.clear();
    } else if (member == control::kReceived) {
        DBusMessageIter out, array;
        dbus_message_iter_init_append(reply.get(), &out);
        dbus_message_iter_open_container(&out, DBUS_TYPE_ARRAY, "(sss)", &array);
        for (const Record& r : records_) {
            DBusMessageIter record;
            const char* fields[] = {r.member.c_str(), r.signature.c_str(), r.arguments.c_str()};
            dbus_message_iter_open_container(&array, DBUS_TYPE_STRUCT, nullptr, &record);
            for (const char* f : fields) dbus_message_iter_append_basic(&record, DBUS_TYPE_STRING, &f);
            dbus_message_iter_close_container(&array, &record);
        }
        dbus_message_iter_close_container(&out, &array);
    } else {
        reply = errorReply(call, DBUS_ERROR_UNKNOWN_METHOD, "no control method " + member);
    }
    send(std::move(reply), 0);
}

void Service::answerIntrospection(DBusMessage* call) {
    MessagePtr reply(dbus_message_new_method_return(call));
    std::string xml = zorv::protocol::introspectionXml();
    const char* text = xml.c_str();
    dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    send(std::move(reply), 0);
}

void Service::send(MessagePtr reply, int delayMs) {
    if (!reply) return;
    if (delayMs <= 0) {
        dbus_connection_send(connection_.get(), reply.get(), nullptr);
        return;
    }
    pending_.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), std::move(reply)});
}

void Service::sendDue() {
    auto now = std::chrono::steady_clock::now();
    auto due = std::stable_partition(pending_.begin(), pending_.end(), [now](const Pending& p) { return p.due > now; });
    for (auto it = due; it != pending_.end(); ++it) dbus_connection_send(connection_.get(), it->reply.get(), nullptr);
    pending_.erase(due, pending_.end());
}

int Service::msUntilNextDue() const {
    int wait = 100;
    auto now = std::chrono::steady_clock::now();
    for (const Pending& p : pending_) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(p.due - now).count();
        wait = std::max(0, std::min<int>(wait, static_cast<int>(ms)));
    }
    return wait;
}

}  // namespace standin
