// zorv-labelmgrd: the label manager service. Owns "com.nimbo.zorv.labelmgr"
// on the system bus (or the bus named by --address), keeps its records in an
// SQLite database and publishes every committed change. SIGTERM and SIGINT
// stop it after the calls in hand have been answered.
//
// Exit status: 0 stopped by a signal; 1 it could not serve (no bus, the name
// owned by another process, the notification endpoint unusable) or the bus
// went away; 2 a bad command line; 3 the database cannot be used (not a
// database, damaged, read-only, newer than this program, cannot be created);
// 4 another zorv-labelmgrd uses the same database.
#include <CLI/CLI.hpp>
#include <zorv/labelmgr.hpp>

#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "audit.h"
#include "bus.h"
#include "database.h"
#include "label_service.h"
#include "log/log.h"
#include "notifier.h"
#include "protocol/members.h"

namespace {

const char* const kDefaultDatabase = "/var/lib/zorv/labelmgr.db";

enum Exit { kStopped = 0, kFailed = 1, kUsage = 2, kDatabaseUnusable = 3, kDatabaseInUse = 4 };

// How long a stop waits for the calls in hand.
constexpr std::chrono::seconds kStopGrace{10};

struct Options {
    std::string address;
    std::string database = kDefaultDatabase;
    std::string endpoint;  // empty: the one in effect for the library too
    zorvd::AuditTrail::Limits audit;
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
    // A file size limit shows as a failed write, answered as such, not as a
    // signal that ends the service.
    ::signal(SIGXFSZ, SIG_IGN);
    ::umask(077);  // the database holds every label of the host
    std::filesystem::path dir = std::filesystem::path(o.database).parent_path();
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::create_directories(dir, ignored);  // a failure shows on opening

    // The name is taken once the store is usable (owning it is what tells
    // systemd and the callers that the service is ready) and before the
    // endpoint is bound: a second instance stops there, before it could take
    // over the first one's endpoint. Calls that arrive meanwhile wait.
    zorvd::Database database(o.database);
    zorvd::AuditTrail audit(database, o.audit);
    zorvd::Bus bus(o.address, zorv::protocol::kServiceName);
    zorvd::Notifier notifier(o.endpoint.empty() ? zorv::protocol::notifyEndpoint() : o.endpoint);
    zorvd::LabelService service(database, notifier, bus, audit);
    ZLOG_INFO("serving %s with %s", zorv::protocol::kServiceName, o.database.c_str());
    bool stopped = bus.serve(stopFd, [&service](DBusMessage* m) { service.handle(m); });
    ::close(stopFd);
    const int status = stopped ? kStopped : kFailed;
    if (!stopped) ZLOG_ERROR("the bus closed the connection");
    const bool idle = service.stop(kStopGrace);
    audit.flush(true);
    if (stopped) bus.flush();  // the answers of the calls that were in hand
    if (!idle) {
        // A worker is held up in the file system: what it uses cannot be
        // taken down under it. Every answered change is committed already.
        ZLOG_ERROR("a call is still held up in the file system; leaving without it");
        std::fflush(nullptr);
        std::_Exit(status);
    }
    if (stopped) ZLOG_INFO("stopped");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"zorv-labelmgrd: the zorv label manager service"};
    app.set_version_flag("--version", std::string("zorv-labelmgrd ") + ZORV_VERSION);
    app.add_option("--address", o.address, "D-Bus address of the bus to serve (default: the system bus)");
    app.add_option("--db", o.database, "database file")->capture_default_str();
    app.add_option("--notify-endpoint", o.endpoint,
                   std::string("ZeroMQ endpoint of the change notifications, ipc:// and the path of a socket file "
                               "(default: $") + zorv::protocol::kNotifyEndpointVariable + ", else " +
                       zorv::protocol::kNotifyEndpoint + ")");
    app.add_option("--audit-max-age", o.audit.maxAgeDays, "days an audit entry is kept")
        ->capture_default_str()
        ->check(CLI::Range(1, 36500));
    app.add_option("--audit-max-entries", o.audit.maxEntries,
                   "audit entries kept at most of root's (every committed change among them)")
        ->capture_default_str()
        ->check(CLI::Range(uint64_t(1000), uint64_t(1) << 40));
    app.add_option("--audit-max-refusals", o.audit.maxRefusals,
                   "audit entries kept at most of other users' refused calls")
        ->capture_default_str()
        ->check(CLI::Range(uint64_t(100), uint64_t(1) << 40));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kStopped : kUsage;  // --help and --version end well
    }
    try {
        return serve(o);
    } catch (const zorvd::DatabaseError& e) {
        ZLOG_ERROR("cannot serve: %s", e.what());
        std::fprintf(stderr, "zorv-labelmgrd: %s\n", e.what());
        return e.kind == zorvd::DatabaseError::InUse ? kDatabaseInUse : kDatabaseUnusable;
    } catch (const std::exception& e) {
        ZLOG_ERROR("cannot serve: %s", e.what());
        std::fprintf(stderr, "zorv-labelmgrd: %s\n", e.what());
        return kFailed;
    }
}
