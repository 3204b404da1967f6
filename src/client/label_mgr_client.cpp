// The service proxy offered to callers who address the service through
// dbus-c++ themselves. The library's own calls do not build it: registering a
// proxy costs two blocking match-rule round trips to the bus each way.
#include <dbus-c++/dbus.h>
#include <zorv/labelmgr.hpp>

#include "client/protocol.h"

namespace com {
namespace nimbo {
namespace zorv {

labelmgr_proxy::labelmgr_proxy() : ::DBus::InterfaceProxy(::zorv::protocol::kInterface) {}

int32_t labelmgr_proxy::setLabelForPkg(const std::vector<std::string>& files, const std::string& pkgname,
                                       const uint32_t& pkgType) {
    ::DBus::CallMessage call;
    ::DBus::MessageIter writer = call.writer();
    writer << files << pkgname << pkgType;
    call.member("setLabelForPkg");
    ::DBus::Message reply = invoke_method(call);
    ::DBus::MessageIter reader = reply.reader();
    int32_t status = 0;
    reader >> status;
    return status;
}

}  // namespace zorv
}  // namespace nimbo
}  // namespace com

LabelMgrClient::LabelMgrClient(DBus::Connection& connection, const char* path, const char* name)
    : DBus::ObjectProxy(connection, path, name) {}

LabelMgrClient::~LabelMgrClient() {}
