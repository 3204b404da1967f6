#include "service_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "message_text.h"

extern char** environ;

namespace zorvtest {

ServiceConnection::ServiceConnection(const std::string& address) {
    // Never the host's system bus: without an address there is no connection.
    const char* bus = address.empty() ? std::getenv("DBUS_SYSTEM_BUS_ADDRESS") : address.c_str();
    connection_.reset(bus ? dbus_connection_open_private(bus, nullptr) : nullptr);
    if (connection_ && !dbus_bus_register(get(), nullptr)) connection_.reset();
    if (!connection_) throw std::runtime_error("cannot reach the test bus");
    dbus_connection_set_exit_on_disconnect(get(), FALSE);
}

ServiceDaemon::ServiceDaemon(const std::string& program) : program_(program) {
    bus_.start(false);
    dir_ = bus_.address().substr(0, bus_.address().rfind('/')).substr(std::string("unix:path=").size());
    ::chmod(dir_.c_str(), 0755);  // so that a test's unprivileged child reaches the bus
    newDatabase();
}

void ServiceDaemon::start(const std::string& endpoint) {
    std::string notify = endpoint.empty() ? "ipc://" + dir_ + "/notify.socket" : endpoint;
    std::string log = dir_ + "/service.log", address = bus_.address();
    const char* argv[] = {program_.c_str(), "--address", address.c_str(), "--db", db_.c_str(),
                          "--notify-endpoint", notify.c_str(), nullptr};
    posix_spawn_file_actions_t output;
    posix_spawn_file_actions_init(&output);
    posix_spawn_file_actions_addopen(&output, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&output, 1, 2);
    int spawned = posix_spawn(&pid_, argv[0], &output, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&output);
    if (spawned != 0) throw std::runtime_error("cannot run " + program_);
    ServiceConnection c(address);
    pid_t ended = 0;
    for (int i = 0; i < 500 && (ended = waitpid(pid_, nullptr, WNOHANG)) == 0; ++i) {
        if (dbus_bus_name_has_owner(c.get(), zorv::protocol::kServiceName, nullptr)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ended == 0) stop(SIGKILL);  // a service that hangs is not left behind
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
    using namespace zorv::protocol;
    Message call(dbus_message_new_method_call(kServiceName, kObjectPath, kInterface, member.c_str()), dbus_message_unref);
    DBusMessageIter it;
    dbus_message_iter_init_append(call.get(), &it);
    for (const WireValue& v : args) appendWire(&it, v);
    DBusError error;
    dbus_error_init(&error);
    Message reply(dbus_connection_send_with_reply_and_block(get(), call.get(), 30000, &error), dbus_message_unref);
    if (!reply) {
        std::string text = std::string("error ") + (error.name ? error.name : "?");
        dbus_error_free(&error);
        return text;
    }
    dbus_message_iter_init(reply.get(), &it);
    return standin::renderAll(&it, " ");
}

}  // namespace zorvtest
