// Message arguments as text, for the stand-in's record of what it received
// and for tests that compare what a service answered.
#pragma once

#include <dbus/dbus.h>

#include <string>

namespace standin {

inline std::string renderOne(DBusMessageIter* it);

template <typename T>
inline std::string number(DBusMessageIter* it) {
    T value = 0;
    dbus_message_iter_get_basic(it, &value);
    return std::to_string(value);
}

// Renders the values from `it` to the end of its container, separated by `sep`.
inline std::string renderAll(DBusMessageIter* it, const char* sep) {
    std::string out;
    for (bool first = true; dbus_message_iter_get_arg_type(it) != DBUS_TYPE_INVALID; first = false) {
        if (!first) out += sep;
        out += renderOne(it);
        dbus_message_iter_next(it);
    }
    return out;
}

// One value as text: strings quoted, numbers in decimal, arrays in [],
// dictionaries in {} with "key: value" entries in wire order, structures in ().
inline std::string renderOne(DBusMessageIter* it) {
    DBusBasicValue v;
    switch (dbus_message_iter_get_arg_type(it)) {
        case DBUS_TYPE_STRING:
        case DBUS_TYPE_OBJECT_PATH:
        case DBUS_TYPE_SIGNATURE:
            dbus_message_iter_get_basic(it, &v);
            return '"' + std::string(v.str) + '"';
        case DBUS_TYPE_INT32:
            return number<dbus_int32_t>(it);
        case DBUS_TYPE_UINT32:
            return number<dbus_uint32_t>(it);
        case DBUS_TYPE_INT64:
            return number<dbus_int64_t>(it);
        case DBUS_TYPE_UINT64:
            return number<dbus_uint64_t>(it);
        case DBUS_TYPE_ARRAY: {
            bool dict = dbus_message_iter_get_element_type(it) == DBUS_TYPE_DICT_ENTRY;
            DBusMessageIter sub;
            dbus_message_iter_recurse(it, &sub);
            std::string inner = renderAll(&sub, ", ");
            return dict ? "{" + inner + "}" : "[" + inner + "]";
        }
        case DBUS_TYPE_DICT_ENTRY: {
            DBusMessageIter sub;
            dbus_message_iter_recurse(it, &sub);
            return renderAll(&sub, ": ");
        }
        case DBUS_TYPE_STRUCT: {
            DBusMessageIter sub;
            dbus_message_iter_recurse(it, &sub);
            return "(" + renderAll(&sub, " ") + ")";
        }
        default:
            return "?";
    }
}

}  // namespace standin
