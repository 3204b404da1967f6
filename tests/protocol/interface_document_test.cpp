// The introspection documents of the service and the stand-in agree with the member table, and each member is served.
#include <dbus/dbus.h>
#include <expat.h>
#include <gtest/gtest.h>

#include <utility>

#include "protocol/members.h"
#include "service_daemon.h"
#include "private_bus.h"

namespace {

namespace protocol = zorv::protocol;
using zorvtest::ServiceConnection;

// Per member: its in- and out-signature, each argument's type in order.
using Signatures = std::map<std::string, std::pair<std::string, std::string>>;
using Interfaces = std::map<std::string, Signatures>;

struct ParseState {
    Interfaces interfaces;
    std::string interface, method;
    std::string problem;
};

const char* attribute(const XML_Char** attrs, const char* name) {
    for (int i = 0; attrs[i]; i += 2)
        if (std::string(attrs[i]) == name) return attrs[i + 1];
    return nullptr;
}

void XMLCALL startElement(void* data, const XML_Char* element, const XML_Char** attrs) {
    auto* s = static_cast<ParseState*>(data);
    const std::string name = element;
    const char* nameAttr = attribute(attrs, "name");
    if (name == "interface") {
        s->interface = nameAttr ? nameAttr : "";
        s->interfaces[s->interface];
    } else if (name == "method") {
        s->method = nameAttr ? nameAttr : "";
        if (!s->interfaces[s->interface].emplace(s->method, std::make_pair("", "")).second)
            s->problem += s->interface + "." + s->method + " listed twice; ";
    } else if (name == "arg" && !s->method.empty()) {
        const char* type = attribute(attrs, "type");
        const char* direction = attribute(attrs, "direction");
        auto& sig = s->interfaces[s->interface][s->method];
        // A method's argument is "in" unless it says otherwise.
        (direction && std::string(direction) == "out" ? sig.second : sig.first) += type ? type : "?";
    }
}

void XMLCALL endElement(void* data, const XML_Char* element) {
    auto* s = static_cast<ParseState*>(data);
    if (std::string(element) == "method") s->method.clear();
}

Interfaces parse(const std::string& xml) {
    ParseState state;
    std::unique_ptr<XML_ParserStruct, void (*)(XML_Parser)> parser(XML_ParserCreate(nullptr), XML_ParserFree);
    XML_SetUserData(parser.get(), &state);
    XML_SetElementHandler(parser.get(), startElement, endElement);
    if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE) != XML_STATUS_OK)
        ADD_FAILURE() << "not well-formed: " << XML_ErrorString(XML_GetErrorCode(parser.get())) << "\n" << xml;
    EXPECT_EQ(state.problem, "");
    return state.interfaces;
}

template <typename Members>
Signatures fromTable(const Members& members) {
    Signatures out;
    for (const protocol::Member* m : members) out[m->name] = {m->in, m->out};
    return out;
}

Interfaces introspect(ServiceConnection& bus) {
    std::string error;
    ServiceConnection::Reply reply = bus.send(DBUS_INTERFACE_INTROSPECTABLE, "Introspect", {}, error);
    const char* xml = nullptr;
    if (!reply || !dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_STRING, &xml, DBUS_TYPE_INVALID)) {
        ADD_FAILURE() << "Introspect: " << (reply ? "not one string" : error);
        return {};
    }
    return parse(xml);
}

// Each member that takes arguments, called on `interface` without them, is refused for its arguments.
void expectServed(ServiceConnection& bus, const char* interface, const Signatures& members) {
    for (const auto& [member, sig] : members) {
        if (sig.first.empty()) continue;  // would run: nothing to refuse
        std::string error;
        ServiceConnection::Reply reply = bus.send(interface, member, {}, error);
        EXPECT_EQ(reply ? "a reply" : error, DBUS_ERROR_INVALID_ARGS) << interface << "." << member;
    }
}

// The service serves both interfaces of the table, the stand-in the main one; both serve Introspectable besides.
TEST(Introspection, ServiceAndStandinOfferTheInterfacesAsTheTableHasThem) {
    zorvtest::ServiceDaemon daemon(ZORV_TEST_DAEMON);
    daemon.newDatabase().start();
    zorvtest::PrivateBus standin;
    standin.start(true);
    for (const std::string& address : {daemon.address(), standin.address()}) {
        SCOPED_TRACE(address);
        ServiceConnection bus(address);
        const Interfaces served = introspect(bus);
        Interfaces expected = {{protocol::kInterface, fromTable(protocol::kMembers)},
                               {DBUS_INTERFACE_INTROSPECTABLE, {{"Introspect", {"", "s"}}}}};
        if (address == daemon.address()) expected[protocol::kAdminInterface] = fromTable(protocol::admin::kMembers);
        EXPECT_EQ(served, expected);
        for (const auto& [interface, members] : served) expectServed(bus, interface.c_str(), members);
    }
}

}  // namespace
