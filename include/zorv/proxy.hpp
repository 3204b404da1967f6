/// @file
/// The label manager service's dbus-c++ proxy, for callers who address the
/// service through dbus-c++ themselves (on a connection of their own or on
/// DBusConnectionManager's, in <zorv/client.hpp>). Needs dbus-c++'s headers
/// and library: pkg-config's zorvlabelmgr-proxy, or CMake's
/// find_package(zorvlabelmgr COMPONENTS proxy) and zorvlabelmgr::proxy.
/// Thread safety is dbus-c++'s: a proxy and its connection are for one thread
/// at a time.
#ifndef ZORV_PROXY_HPP
#define ZORV_PROXY_HPP

#include <dbus-c++/dbus.h>
#include <zorv/export.h>

#include <cstdint>
#include <string>
#include <vector>

/// The proxy's interface namespace, named after the service's D-Bus interface.
namespace com {
/// The proxy's interface namespace.
namespace nimbo {
/// The proxy's interface namespace.
namespace zorv {
/// The interface "com.nimbo.zorv.labelmgr" as dbus-c++ sees it.
class ZORV_API labelmgr_proxy : public ::DBus::InterfaceProxy {
public:
    /// The interface proxy; use it through LabelMgrClient.
    labelmgr_proxy();
    /// Calls the service's setLabelForPkg: the owner `pkgname` gets exactly
    /// `files`, of `pkgType` (1 package, 3 Drova, 4 Lunvex). @return the
    /// service's answer (0 on success); throws DBus::Error when the call
    /// fails.
    int32_t setLabelForPkg(const std::vector<std::string>& files, const std::string& pkgname,
                           const uint32_t& pkgType);
};
}  // namespace zorv
}  // namespace nimbo
}  // namespace com

/// The service's object as a dbus-c++ proxy.
class ZORV_API LabelMgrClient : public com::nimbo::zorv::labelmgr_proxy,
                                public DBus::IntrospectableProxy,
                                public DBus::ObjectProxy {
public:
    /// The object at `path` of the bus name `name` (the service's are
    /// "/org/freedesktop/DBus/nimbo/zorv/labelmgr" and
    /// "com.nimbo.zorv.labelmgr") on `connection`.
    LabelMgrClient(DBus::Connection& connection, const char* path, const char* name);
    ~LabelMgrClient();
};

#endif  // ZORV_PROXY_HPP
