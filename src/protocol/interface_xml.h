// The introspection document of the service's object, written from the one
// member table, for every program that serves the interface.
#pragma once

#include <dbus/dbus.h>

#include <string>

#include "protocol/members.h"

namespace zorv {
namespace protocol {

namespace detail {
template <typename Members>
void appendInterface(std::string& xml, const char* name, const Members& members) {
    xml += "  <interface name=\"";
    xml += name;
    xml += "\">\n";
    for (const protocol::Member* entry : members) {
        const protocol::Member& m = *entry;
        xml += "    <method name=\"" + std::string(m.name) + "\">";
        for (int dir = 0; dir < 2; ++dir) {
            const char* sigText = dir == 0 ? m.in : m.out;
            if (!*sigText) continue;
            DBusSignatureIter sig;
            dbus_signature_iter_init(&sig, sigText);
            do {
                char* one = dbus_signature_iter_get_signature(&sig);
                xml += std::string("<arg direction=\"") + (dir == 0 ? "in" : "out") + "\" type=\"" + one + "\"/>";
                dbus_free(one);
            } while (dbus_signature_iter_next(&sig));
        }
        xml += "</method>\n";
    }
    xml += "  </interface>\n";
}
}  // namespace detail

// `admin`: the real service also offers its administration interface.
inline std::string introspectionXml(bool admin = false) {
    std::string xml =
        "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
        " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n"
        "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
        "    <method name=\"Introspect\"><arg name=\"data\" direction=\"out\" type=\"s\"/></method>\n"
        "  </interface>\n";
    detail::appendInterface(xml, protocol::kInterface, protocol::kMembers);
    if (admin) detail::appendInterface(xml, protocol::kAdminInterface, protocol::admin::kMembers);
    xml += "</node>\n";
    return xml;
}

}  // namespace protocol
}  // namespace zorv
