#include "client/service_call.h"

namespace zorv {

DBus::Message ServiceCall::send() { return DBusConnectionManager::getInstance()->call(message_, timeoutMs_); }

}  // namespace zorv
