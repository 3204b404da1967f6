#include "service_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <vector>

#include "emulator.h"
#include "staged_program.h"
#include "wait_until.h"

extern char** environ;

namespace zorvtest {

// ZORV_TEST_DAEMON runs the tests against another build of the service (to see a test fail without its fix).
ServiceDaemon::ServiceDaemon(const std::string& program)
    : program_(std::getenv("ZORV_TEST_DAEMON") ? std::getenv("ZORV_TEST_DAEMON") : program) {
    restartBus();
    newDatabase();
}

void ServiceDaemon::restartBus() {
    bus_.start(false);
    ::chmod(bus_.dir().c_str(), 0755);  // so that a test's unprivileged child reaches the bus
}

void ServiceDaemon::start(const std::string& endpoint, bool asOption) {
    std::string notify = endpoint.empty() ? "ipc://" + bus_.dir() + "/notify.socket" : endpoint;
    std::string log = bus_.dir() + "/service.log", address = bus_.address();
    std::string user = "--reuid=" + std::to_string(runAs_), group = "--regid=" + std::to_string(runAs_);
    std::vector<const char*> argv;
    std::map<std::string, std::string> env;  // NAME=value by name: the service's own over the test's
    auto put = [&env](const std::string& entry) { env[entry.substr(0, entry.find('='))] = entry; };
    for (char** e = environ; *e != nullptr; ++e) put(*e);
    put(std::string(zorv::protocol::kNotifyEndpointVariable) + "=" + notify);
    std::string program = program_, why;
    if (runAs_ != uid_t(-1)) {
        // Another user runs a copy that it can reach wherever the build tree lies.
        if ((program = stagedFor(runAs_, program_, &why)).empty()) throw std::runtime_error(why);
        argv = {"/usr/bin/setpriv", user.c_str(), group.c_str(), "--clear-groups"};
        for (const std::string& variable : stagedVariables()) put(variable);
    }
    const std::vector<std::string> command = emulatedCommand(program);
    for (const std::string& word : command) argv.push_back(word.c_str());
    for (const char* arg : {"--address", address.c_str(), "--db", db_.c_str()}) argv.push_back(arg);
    if (asOption) argv.insert(argv.end(), {"--notify-endpoint", notify.c_str()});
    for (const std::string& option : options_) argv.push_back(option.c_str());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& [name, entry] : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t output;
    posix_spawn_file_actions_init(&output);
    posix_spawn_file_actions_addopen(&output, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&output, 1, 2);
    int spawned = posix_spawn(&pid_, argv[0], &output, nullptr, const_cast<char**>(argv.data()), envp.data());
    posix_spawn_file_actions_destroy(&output);
    if (spawned != 0) throw std::runtime_error("cannot run " + program_);
    guardProcess(pid_);
    ServiceConnection c(address);
    pid_t ended = 0;
    int status = 0;
    if (waitUntil([&] {
            return (ended = waitpid(pid_, &status, WNOHANG)) != 0 ||
                   dbus_bus_name_has_owner(c.get(), zorv::protocol::kServiceName, nullptr);
        }, 5) && ended == 0)
        return;
    if (ended == 0) stop(SIGKILL);  // a service that hangs is not left behind
    exitStatus_ = ended == 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    forget();
    throw std::runtime_error("the service did not start; see " + log);
}

std::string ServiceDaemon::output() const {
    return slurp(bus_.dir() + "/service.log");
}

pid_t ServiceDaemon::busPid() const {
    const pid_t pid = bus_.pid("bus.pid");
    if (pid <= 0) throw std::runtime_error("no bus daemon in " + bus_.dir());
    return pid;
}

int ServiceDaemon::stop(int sig) {
    // Never kill(-1): as root that would signal every process on the host.
    if (pid_ <= 0) return -1;
    int status = 0;
    ::kill(pid_, sig);
    waitpid(pid_, &status, 0);
    forget();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace zorvtest
