#include "client/service_call.h"

#include <dbus/dbus.h>

#include "log/log.h"

namespace zorv {

bool acceptString(const char* function, const char* what, const char* text) {
    if (dbus_validate_utf8(text, nullptr)) return true;
    Logger::getInstance().error(function, __LINE__, "Invalid UTF-8 sequence in %s: %s", what, text);
    return false;
}

bool connectionLost() { return DBusConnectionManager::getInstance()->connectionLost(); }

DBus::Message ServiceCall::send() {
    DBusConnectionManager* manager = DBusConnectionManager::getInstance();
    std::shared_ptr<DBus::Connection> connection = manager->callConnection();
    DBus::Message reply = connection->send_blocking(message_, timeoutMs_);
    manager->drainIncoming();
    return reply;
}

}  // namespace zorv
