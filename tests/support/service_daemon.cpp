#include "service_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "message_text.h"

namespace zorvtest {

ServiceConnection::ServiceConnection(const std::string& address) {
    if (address.empty()) {
        connection_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    } else if ((connection_ = dbus_connection_open_private(address.c_str(), nullptr)) &&
               !dbus_bus_register(connection_, nullptr)) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
        connection_ = nullptr;
    }
    if (!connection_) throw std::runtime_error("cannot reach the test bus");
    dbus_connection_set_exit_on_disconnect(connection_, FALSE);
}

ServiceConnection::~ServiceConnection() {
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
}

ServiceDaemon::ServiceDaemon(const std::string& program) : program_(program) {
    bus_.start(false);
    std::string socket = bus_.address().substr(std::string("unix:path=").size());
    dir_ = socket.substr(0, socket.rfind('/'));
    ::chmod(dir_.c_str(), 0755);  // so that a test's unprivileged child reaches the bus
    newDatabase();
}

ServiceDaemon::~ServiceDaemon() {
    if (running()) stop();
}

std::string ServiceDaemon::newDatabase() {
    return db_ = dir_ + "/labels" + std::to_string(++dbCount_) + ".db";
}

void ServiceDaemon::start(const std::string& db, const std::string& endpoint) {
    if (!db.empty()) db_ = db;
    std::string notify = endpoint.empty() ? "ipc://" + dir_ + "/notify.socket" : endpoint;
    std::string log = dir_ + "/service.log", address = bus_.address();
    pid_ = fork();
    if (pid_ == 0) {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        execl(program_.c_str(), program_.c_str(), "--address", address.c_str(), "--db", db_.c_str(),
              "--notify-endpoint", notify.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ServiceConnection c(address);
    for (int i = 0; i < 500; ++i) {
        if (dbus_bus_name_has_owner(c.get(), "com.nimbo.zorv.labelmgr", nullptr)) return;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    throw std::runtime_error("the service did not start; see " + log);
}

int ServiceDaemon::stop(int sig) {
    int status = 0;
    ::kill(pid_, sig);
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ServiceConnection::call(const std::string& member, const std::vector<WireValue>& args) {
    using Message = std::unique_ptr<DBusMessage, void (*)(DBusMessage*)>;
    Message call(dbus_message_new_method_call("com.nimbo.zorv.labelmgr", "/org/freedesktop/DBus/nimbo/zorv/labelmgr",
                                              "com.nimbo.zorv.labelmgr", member.c_str()),
                 dbus_message_unref);
    DBusMessageIter it;
    dbus_message_iter_init_append(call.get(), &it);
    for (const WireValue& v : args) appendWire(&it, v);
    DBusError error;
    dbus_error_init(&error);
    Message reply(dbus_connection_send_with_reply_and_block(connection_, call.get(), 30000, &error),
                  dbus_message_unref);
    if (!reply) {
        std::string text = std::string("error ") + (error.name ? error.name : "?");
        dbus_error_free(&error);
        return text;
    }
    dbus_message_iter_init(reply.get(), &it);
    return standin::renderAll(&it, " ");
}

}  // namespace zorvtest
