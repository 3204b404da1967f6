/// @file
/// Typed interface of libzorvlabelmgr, every area at once: the C interface,
/// diagnostics, the service client, the label model, change notifications and
/// the utilities. Each area also has a header of its own.
#ifndef ZORV_LABELMGR_HPP
#define ZORV_LABELMGR_HPP

#include <zorv/labelmgr.h>
#include <zorv/log.hpp>
#include <zorv/client.hpp>
#include <zorv/label.hpp>
#include <zorv/notify.hpp>
#include <zorv/util.hpp>

// The service proxy needs dbus-c++: it comes along for callers that included
// <dbus-c++/dbus.h> before this header, and is otherwise <zorv/proxy.hpp>.
#if defined(__DBUSXX_DBUS_H)
#include <zorv/proxy.hpp>
#endif

#endif  // ZORV_LABELMGR_HPP
