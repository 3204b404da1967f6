#include "notifier.h"

#include <sys/stat.h>
#include <unistd.h>

#include "log/log.h"

namespace zorvd {

Notifier::Notifier(const std::string& endpoint) : socket_(ZMQSocket::PUB) {
    socket_.bind(endpoint);
    const std::string ipc = "ipc://";
    if (endpoint.compare(0, ipc.size(), ipc) == 0) {
        file_ = endpoint.substr(ipc.size());
        // Connecting to a Unix socket needs write permission on its file, and
        // every local user may subscribe.
        if (::chmod(file_.c_str(), 0666) != 0) ZLOG_WARN("cannot open %s to every user", file_.c_str());
    }
    ZLOG_INFO("publishing label changes on %s", endpoint.c_str());
}

Notifier::~Notifier() {
    if (!file_.empty()) ::unlink(file_.c_str());
}

void Notifier::publish(const std::string& topic, const std::string& payload) noexcept {
    try {
        socket_.send(topic, true);
        socket_.send(payload, false);
    } catch (const std::exception& e) {
        ZLOG_ERROR("notification %s not sent: %s", topic.c_str(), e.what());
    }
}

}  // namespace zorvd
