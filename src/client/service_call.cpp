#include "client/service_call.h"

#include <dbus/dbus.h>

#include "log/log.h"

namespace zorv {

bool connectionLost() { return DBusConnectionManager::getInstance()->connectionLost(); }

DBus::Message ServiceCall::send() {
    DBusConnectionManager* manager = DBusConnectionManager::getInstance();
    std::shared_ptr<DBus::Connection> connection = manager->callConnection();
    DBus::Message reply = connection->send_blocking(message_, timeoutMs_);
    manager->drainIncoming();
    return reply;
}

}  // namespace zorv
