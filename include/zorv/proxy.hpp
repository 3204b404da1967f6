// The label manager service's dbus-c++ proxy, for callers who address the
// service through dbus-c++ themselves (on a connection of their own or on
// DBusConnectionManager's, in <zorv/client.hpp>). Needs dbus-c++'s headers
// and library: pkg-config's zorvlabelmgr-proxy, or CMake's
// find_package(zorvlabelmgr COMPONENTS proxy) and zorvlabelmgr::proxy.
#ifndef ZORV_PROXY_HPP
#define ZORV_PROXY_HPP

#include <dbus-c++/dbus.h>
#include <zorv/export.h>

#include <cstdint>
#include <string>
#include <vector>

namespace com {
namespace nimbo {
namespace zorv {
class ZORV_API labelmgr_proxy : public ::DBus::InterfaceProxy {
public:
    labelmgr_proxy();
    int32_t setLabelForPkg(const std::vector<std::string>& files, const std::string& pkgname,
                           const uint32_t& pkgType);
};
}  // namespace zorv
}  // namespace nimbo
}  // namespace com

class ZORV_API LabelMgrClient : public com::nimbo::zorv::labelmgr_proxy,
                                public DBus::IntrospectableProxy,
                                public DBus::ObjectProxy {
public:
    LabelMgrClient(DBus::Connection& connection, const char* path, const char* name);
    ~LabelMgrClient();
};

#endif  // ZORV_PROXY_HPP
