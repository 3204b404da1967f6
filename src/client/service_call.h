// The frame every service call runs in: one method call on the shared
// connection, its arguments written and its reply read with dbus-c++'s
// readers and writers, every failure logged under the exported function's
// name and turned into that function's failure result.
#pragma once

#include <dbus-c++/dbus.h>
#include <zorv/labelmgr.hpp>

#include <tuple>

#include "client/bus_strings.h"
#include "client/protocol.h"

namespace zorv {

// One method call to the label manager service.
class ServiceCall {
public:
    explicit ServiceCall(const char* member, int timeoutMs = protocol::kCallTimeoutMs)
        : message_(protocol::kServiceName, protocol::kObjectPath, protocol::kInterface, member),
          writer_(message_.writer()),
          timeoutMs_(timeoutMs) {}

    // Appends in-arguments in order; the D-Bus type follows the C++ type.
    template <typename... In>
    ServiceCall& with(const In&... in) {
        (void)std::initializer_list<int>{((writer_ << in), 0)...};
        return *this;
    }

    // Sends the call and blocks until the reply or the timeout, then reads the
    // reply's first out-arguments into `out` in order. Throws DBus::Error for
    // an error reply, a timeout or a reply of another shape, and
    // std::runtime_error when there is no bus.
    template <typename... Out>
    void invoke(Out&... out) {
        DBus::Message reply = send();
        DBus::MessageIter reader = reply.reader();
        (void)std::initializer_list<int>{((reader >> out), 0)...};
    }

private:
    DBus::Message send();

    DBus::CallMessage message_;
    DBus::MessageIter writer_;
    int timeoutMs_;
};

// Whether the bus has closed the library's connection (a bus restart).
bool connectionLost();

// Runs `body` and returns what it returns. A D-Bus error or any standard
// exception is logged under `function` and gives `failure` instead.
template <typename Result, typename Body>
Result guarded(const char* function, Result failure, Body&& body) {
    try {
        try {
            return body();
        } catch (const DBus::Error&) {
            // libdbus learns that the bus went away only when a call fails on
            // the dead socket; such a call never reached the service, so it
            // goes once more on a new connection.
            if (!connectionLost()) throw;
            return body();
        }
    } catch (const DBus::Error& e) {
        Logger::getInstance().error(function, __LINE__, "DBus error occurred: %s, %s", e.name(), e.message());
    } catch (const std::exception& e) {
        Logger::getInstance().error(function, __LINE__, "Exception occurred: %s", e.what());
    }
    return failure;
}

}  // namespace zorv
