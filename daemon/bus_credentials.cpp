#include "bus_credentials.h"

#include <stdexcept>

namespace zorvd {

namespace {

// Forgetting all is simpler than tracking who left, and costs one question
// per caller after it.
constexpr std::size_t kMaxKnown = 4096;

}  // namespace

const Caller* CallerDirectory::find(const std::string& sender) const {
    auto found = known_.find(sender);
    return found == known_.end() ? nullptr : &found->second;
}

void CallerDirectory::request(const std::string& sender) {
    if (askedFor_.count(sender)) return;
    MessagePtr question(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                                     "GetConnectionCredentials"));
    if (!question) throw std::bad_alloc();
    const char* name = sender.c_str();
    if (!dbus_message_append_args(question.get(), DBUS_TYPE_STRING, &name, DBUS_TYPE_INVALID)) throw std::bad_alloc();
    dbus_uint32_t serial = 0;
    if (!bus_.ask(question.get(), &serial)) throw std::bad_alloc();
    asked_[serial] = sender;
    askedFor_.insert(sender);
}

std::optional<std::pair<std::string, std::optional<Caller>>> CallerDirectory::take(DBusMessage* message) {
    auto found = asked_.find(dbus_message_get_reply_serial(message));
    if (found == asked_.end()) return std::nullopt;
    std::string sender = std::move(found->second);
    asked_.erase(found);
    askedFor_.erase(sender);
    if (dbus_message_get_type(message) != DBUS_MESSAGE_TYPE_METHOD_RETURN) return std::make_pair(sender, std::nullopt);
    if (known_.size() >= kMaxKnown) known_.clear();
    Caller caller = parseCredentials(message);
    known_[sender] = caller;
    return std::make_pair(sender, std::optional<Caller>(caller));
}

Caller parseCredentials(DBusMessage* reply) {
    Caller caller;
    bool haveUid = false;
    DBusMessageIter it, dict;
    if (!dbus_message_iter_init(reply, &it) || dbus_message_iter_get_arg_type(&it) != DBUS_TYPE_ARRAY) return caller;
    dbus_message_iter_recurse(&it, &dict);
    for (; dbus_message_iter_get_arg_type(&dict) == DBUS_TYPE_DICT_ENTRY; dbus_message_iter_next(&dict)) {
        DBusMessageIter entry, variant;
        dbus_message_iter_recurse(&dict, &entry);
        const char* key = nullptr;
        dbus_message_iter_get_basic(&entry, &key);
        dbus_message_iter_next(&entry);
        dbus_message_iter_recurse(&entry, &variant);
        int type = dbus_message_iter_get_arg_type(&variant);
        std::string k = key ? key : "";
        if (type == DBUS_TYPE_UINT32 && (k == "UnixUserID" || k == "ProcessID")) {
            dbus_uint32_t v = 0;
            dbus_message_iter_get_basic(&variant, &v);
            if (k == "UnixUserID") {
                caller.uid = v;
                haveUid = true;
            } else {
                caller.pid = v;
            }
        } else if (type == DBUS_TYPE_ARRAY && k == "UnixGroupIDs") {
            DBusMessageIter groups;
            dbus_message_iter_recurse(&variant, &groups);
            for (; dbus_message_iter_get_arg_type(&groups) == DBUS_TYPE_UINT32; dbus_message_iter_next(&groups)) {
                dbus_uint32_t g = 0;
                dbus_message_iter_get_basic(&groups, &g);
                caller.groups.push_back(g);
            }
            caller.groupsKnown = true;
        }
    }
    // Without a uid the caller is nobody: it may read what everyone may.
    if (!haveUid) caller = Caller{};
    return caller;
}

}  // namespace zorvd
