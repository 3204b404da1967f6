// The frame every service call runs in: one method call on a connection the
// connection manager lends it for that call alone, its arguments written and
// its reply read with dbus-c++'s readers and writers, every failure logged
// under the exported function's name and turned into that function's failure
// result.
#pragma once

#include <dbus-c++/dbus.h>
#include <zorv/client.hpp>
#include <zorv/log.hpp>

#include <tuple>

#include "client/bus_limits.h"
#include "protocol/members.h"
#include "protocol/wire_signature.h"

namespace zorv {

// One method call to the label manager service, untyped; calls go through
// Call<member> below, which checks their types against the protocol table.
class ServiceCall {
protected:
    explicit ServiceCall(const protocol::Member& member)
        : message_(protocol::kServiceName, protocol::kObjectPath, protocol::kInterface, member.name),
          writer_(message_.writer()),
          timeoutMs_(member.timeoutMs) {}

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

// A call of the member `M` of the protocol table, under the member's own
// timeout: Call<protocol::getFileTid>(path).invoke(tid). The types of the
// arguments and of the reply must give the member's signatures, or the call
// does not compile.
template <const protocol::Member& M>
class Call : private ServiceCall {
public:
    template <typename... In>
    explicit Call(const In&... in) : ServiceCall(M) {
        static_assert(wire::travelsAs<In...>(M.in), "arguments disagree with the protocol table's in-signature");
        with(in...);
    }

    // Sends the call and reads the whole reply into `out`; see ServiceCall.
    template <typename... Out>
    void invoke(Out&... out) {
        static_assert(wire::travelsAs<Out...>(M.out), "reply types disagree with the protocol table's out-signature");
        ServiceCall::invoke(out...);
    }
};

// What a failed call logs and gives back. Most calls give one result for
// every failure, worded "DBus error occurred: %s, %s" and "Exception
// occurred: %s"; a few keep wording of their own.
template <typename Result>
struct Failure {
    Result onDBusError;
    Result onException;
    bool namedDBusError = false;  // "DBus error (name=%s, message=%s)"
    const char* exceptionPrefix = "Exception occurred: ";
};

// Runs `body` and returns what it returns. A D-Bus error or any standard
// exception is logged under `function` and gives the failure's result instead.
template <typename Result, typename Body>
Result guarded(const char* function, const Failure<Result>& failure, Body&& body) {
    try {
        return body();
    } catch (const DBus::Error& e) {
        if (failure.namedDBusError)
            Logger::getInstance().error(function, __LINE__, "DBus error (name=%s, message=%s)", e.name(), e.message());
        else
            Logger::getInstance().error(function, __LINE__, "DBus error occurred: %s, %s", e.name(), e.message());
        return failure.onDBusError;
    } catch (const std::exception& e) {
        Logger::getInstance().error(function, __LINE__, "%s%s", failure.exceptionPrefix, e.what());
        return failure.onException;
    }
}

template <typename Result, typename Body>
Result guarded(const char* function, Result failure, Body&& body) {
    return guarded(function, Failure<Result>{failure, failure}, std::forward<Body>(body));
}

}  // namespace zorv
