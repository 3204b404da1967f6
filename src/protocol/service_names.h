// Where the label manager service is found: its names on the D-Bus system bus,
// the interface on which the stand-in service is scripted in tests, and the
// socket on which the service publishes label changes. The library, the
// stand-in, the tests and the benchmarks all take them from here.
#pragma once

#include <cstdlib>
#include <string>

namespace zorv {
namespace protocol {

constexpr const char* kServiceName = "com.nimbo.zorv.labelmgr";
constexpr const char* kInterface = "com.nimbo.zorv.labelmgr";
constexpr const char* kObjectPath = "/org/freedesktop/DBus/nimbo/zorv/labelmgr";

// The error the service answers when what a call names is not recorded.
constexpr const char* kErrorNotFound = "com.nimbo.zorv.labelmgr.Error.NotFound";

// The real service's administration interface (root only).
constexpr const char* kAdminInterface = "com.nimbo.zorv.labelmgr.Admin";

// Scripting interface of the stand-in service (never offered by the real one).
constexpr const char* kTestInterface = "com.nimbo.zorv.labelmgr.Test";
// Its members: forget every script and record; answer a member with given
// values, with an error, after a delay, or after stray signals; list the
// calls received.
namespace standin_control {
constexpr const char* kReset = "Reset";
constexpr const char* kScriptReply = "ScriptReply";
constexpr const char* kScriptError = "ScriptError";
constexpr const char* kScriptDelay = "ScriptDelay";
constexpr const char* kScriptNoise = "ScriptNoise";
constexpr const char* kReceived = "Received";
constexpr const char* kSendPending = "SendPending";
}  // namespace standin_control

// Label-change notifications; the socket file is what the endpoint names.
constexpr const char* kNotifyEndpoint = "ipc:///tmp/zorv_label_manager.socket";
constexpr const char* kNotifySocketFile = kNotifyEndpoint + sizeof("ipc://") - 1;

// Points the library's subscribers, the service and the tool at another
// endpoint, so that a second instance or a test never meets the host's.
constexpr const char* kNotifyEndpointVariable = "ZORV_NOTIFY_ENDPOINT";

// The endpoint in effect: the variable when it is set and not empty, else
// kNotifyEndpoint. A setuid or setgid program ignores the variable, which
// the user who runs it controls.
inline std::string notifyEndpoint() {
    const char* chosen = ::secure_getenv(kNotifyEndpointVariable);
    return chosen != nullptr && *chosen != '\0' ? chosen : kNotifyEndpoint;
}

}  // namespace protocol
}  // namespace zorv
