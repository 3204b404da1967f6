// The service proxy offered to callers who address the service through
// dbus-c++ themselves. The library's own calls do not build it: registering a
// proxy costs two blocking match-rule round trips to the bus each way.
#include <dbus-c++/dbus.h>
#include <zorv/proxy.hpp>

#include "protocol/members.h"
#include "protocol/wire_signature.h"

namespace com {
namespace nimbo {
namespace zorv {

labelmgr_proxy::labelmgr_proxy() : ::DBus::InterfaceProxy(::zorv::protocol::kInterface) {}

int32_t labelmgr_proxy::setLabelForPkg(const std::vector<std::string>& files, const std::string& pkgname,
                                       const uint32_t& pkgType) {
    namespace protocol = ::zorv::protocol;
    static_assert(::zorv::wire::travelsAs<decltype(files), decltype(pkgname), decltype(pkgType)>(
                      protocol::setLabelForPkg.in),
                  "arguments disagree with the protocol table's in-signature");
    ::DBus::CallMessage call;
    ::DBus::MessageIter writer = call.writer();
    writer << files << pkgname << pkgType;
    call.member(protocol::setLabelForPkg.name);
    ::DBus::Message reply = invoke_method(call);
    ::DBus::MessageIter reader = reply.reader();
    int32_t status = 0;
    static_assert(::zorv::wire::travelsAs<decltype(status)>(protocol::setLabelForPkg.out),
                  "reply types disagree with the protocol table's out-signature");
    reader >> status;
    return status;
}

}  // namespace zorv
}  // namespace nimbo
}  // namespace com

LabelMgrClient::LabelMgrClient(DBus::Connection& connection, const char* path, const char* name)
    : DBus::ObjectProxy(connection, path, name) {}

LabelMgrClient::~LabelMgrClient() {}
