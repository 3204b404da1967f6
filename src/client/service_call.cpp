#include "client/service_call.h"

#include <dbus/dbus.h>

#include "log/log.h"

namespace zorv {

bool acceptString(const char* function, const char* what, const char* text) {
    if (dbus_validate_utf8(text, nullptr)) return true;
    Logger::getInstance().error(function, __LINE__, "Invalid UTF-8 sequence in %s: %s", what, text);
    return false;
}

DBus::Message ServiceCall::send() { return DBusConnectionManager::getInstance()->call(message_, timeoutMs_); }

}  // namespace zorv
