// zorv-labelmgrd: the label manager service. Owns "com.nimbo.zorv.labelmgr"
// on the system bus (or the bus named by --address), keeps its records in an
// SQLite database and publishes every committed change. SIGTERM and SIGINT
// stop it after the call in hand has been answered.
#include <CLI/CLI.hpp>
#include <zorv/labelmgr.hpp>

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "bus.h"
#include "client/protocol.h"
#include "label_service.h"
#include "log/log.h"
#include "notifier.h"
#include "store.h"

namespace {

const char* const kDefaultDatabase = "/var/lib/zorv/labelmgr.db";

struct Options {
    std::string address;
    std::string database = kDefaultDatabase;
    std::string endpoint = zorv::protocol::kNotifyEndpoint;
};

// The stop signals are taken through a descriptor that the serving loop
// waits on, so a signal never interrupts a call half-way.
int stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
    return signalfd(-1, &set, SFD_CLOEXEC);
}

int serve(const Options& o) {
    int stopFd = stopSignals();
    if (stopFd < 0) throw std::runtime_error("cannot take the stop signals");
    ::signal(SIGPIPE, SIG_IGN);
    ::umask(077);  // the database holds every label of the host
    std::filesystem::path dir = std::filesystem::path(o.database).parent_path();
    if (!dir.empty()) std::filesystem::create_directories(dir);

    // The name is taken once the store is usable (owning it is what tells
    // systemd and the callers that the service is ready) and before the
    // endpoint is bound: a second instance stops there, before it could take
    // over the first one's endpoint. Calls that arrive meanwhile wait.
    zorvd::Store store(o.database);
    zorvd::Bus bus(o.address, zorv::protocol::kServiceName);
    zorvd::Notifier notifier(o.endpoint);
    zorvd::LabelService service(store, notifier, bus);
    ZLOG_INFO("serving %s with %s", zorv::protocol::kServiceName, o.database.c_str());
    bool stopped = bus.serve(stopFd, [&service](DBusMessage* m) { service.handle(m); });
    ::close(stopFd);
    if (!stopped) {
        ZLOG_ERROR("the bus closed the connection");
        return 1;
    }
    ZLOG_INFO("stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"zorv-labelmgrd: the zorv label manager service"};
    app.set_version_flag("--version", std::string("zorv-labelmgrd ") + ZORV_VERSION);
    app.add_option("--address", o.address, "D-Bus address of the bus to serve (default: the system bus)");
    app.add_option("--db", o.database, "database file")->capture_default_str();
    app.add_option("--notify-endpoint", o.endpoint, "ZeroMQ endpoint of the change notifications")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    try {
        return serve(o);
    } catch (const std::exception& e) {
        ZLOG_ERROR("cannot serve: %s", e.what());
        std::fprintf(stderr, "zorv-labelmgrd: %s\n", e.what());
        return 1;
    }
}
