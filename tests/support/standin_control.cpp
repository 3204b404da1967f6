#include "standin_control.h"

#include "protocol/service_names.h"

namespace zorvtest {

ServiceConnection::Reply Standin::control(const char* what, const std::string& member, std::vector<WireValue> values) {
    if (!member.empty()) values.insert(values.begin(), member);
    std::string error;
    ServiceConnection::Reply reply = bus_.send(zorv::protocol::kTestInterface, what, values, error);
    if (!reply) ADD_FAILURE() << "stand-in control " << what << ": " << error;
    return reply;
}

std::vector<Received> Standin::received() {
    std::vector<Received> out;
    ServiceConnection::Reply reply = control(names::kReceived, "", {});
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

}  // namespace zorvtest
