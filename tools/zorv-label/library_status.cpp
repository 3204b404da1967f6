// What the library's statuses mean for the user: its log lines are kept so
// that a failure can be explained, and a call that could not be completed is
// told apart from an unreachable service by asking the bus.
#include <dbus/dbus.h>
#include <fcntl.h>
#include <log4cpp/Category.hh>
#include <log4cpp/PatternLayout.hh>
#include <log4cpp/StringQueueAppender.hh>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "protocol/service_names.h"
#include "tool.h"

namespace zorvtool {

namespace {

log4cpp::StringQueueAppender* errorLines = nullptr;

// Why the service cannot be reached over `bus`, or "" when it is on it.
std::string absenceOn(DBusConnection* bus) {
    DBusError error;
    dbus_error_init(&error);
    bool owned = dbus_bus_name_has_owner(bus, zorv::protocol::kServiceName, &error);
    std::string why;
    if (dbus_error_is_set(&error)) {
        why = std::string("cannot ask the bus about the service: ") + error.message;
        dbus_error_free(&error);
    } else if (!owned) {
        why = "the label manager service is not running";
    }
    return why;
}

// Why the service cannot be reached, or "" when it is on the bus.
std::string unreachableReason() {
    ServicePresence presence;
    return presence.absence();
}

}  // namespace

void ServicePresence::Close::operator()(DBusConnection* bus) const {
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
}

std::string ServicePresence::absence() {
    // A bus that went away (or restarted) gets a new connection.
    if (bus_ && !dbus_connection_get_is_connected(bus_.get())) bus_.reset();
    if (!bus_) {
        DBusError error;
        dbus_error_init(&error);
        bus_.reset(dbus_bus_get_private(DBUS_BUS_SYSTEM, &error));
        if (!bus_) {
            std::string why = std::string("cannot reach the system bus: ") + (error.message ? error.message : "");
            dbus_error_free(&error);
            return why;
        }
        dbus_connection_set_exit_on_disconnect(bus_.get(), FALSE);
    }
    return absenceOn(bus_.get());
}

void prepareLibraryLog() {
    // Without its configuration file the logger announces that on standard
    // output; file descriptor 1 is standard error by now, and the notice is
    // about the library's own log, not the command, so it goes nowhere.
    std::fflush(stdout);
    int saved = ::dup(STDOUT_FILENO);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) ::dup2(null, STDOUT_FILENO);
    Logger::getInstance();
    std::fflush(stdout);
    if (saved >= 0) {
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
    if (null >= 0) ::close(null);

    // The category owns the appender and the appender its layout.
    errorLines = new log4cpp::StringQueueAppender("zorv-label");
    auto* layout = new log4cpp::PatternLayout();
    layout->setConversionPattern("%m");
    errorLines->setLayout(layout);
    errorLines->setThreshold(log4cpp::Priority::ERROR);
    log4cpp::Category::getRoot().addAppender(errorLines);
}

namespace {

// The newest error line the library logged during this run, without its
// "[function:line] " prefix, or "".
std::string lastErrorLine() {
    if (errorLines == nullptr || errorLines->queueSize() == 0) return "";
    std::string last;
    while (errorLines->queueSize() > 0) last = errorLines->popMessage();
    if (!last.empty() && last[0] == '[') {
        size_t close = last.find("] ");
        if (close != std::string::npos) last.erase(0, close + 2);
    }
    while (!last.empty() && (last.back() == '\n' || last.back() == ' ')) last.pop_back();
    return last;
}

// What the library's last error line says: the D-Bus error it met (its name
// and message), or its own words. Its own status lines carry only a number
// and say nothing more than the status itself; they are left out.
struct Detail {
    std::string error;  // the D-Bus error's name, or ""
    std::string text;
};

bool between(const std::string& line, const std::string& head, const std::string& middle, const std::string& tail,
             Detail& d) {
    if (line.compare(0, head.size(), head) != 0) return false;
    size_t split = line.find(middle, head.size());
    if (split == std::string::npos) return false;
    d.error = line.substr(head.size(), split - head.size());
    d.text = line.substr(split + middle.size());
    const size_t n = tail.size();
    if (n > 0 && d.text.size() >= n && d.text.compare(d.text.size() - n, n, tail) == 0) d.text.erase(d.text.size() - n);
    return true;
}

Detail libraryDetail() {
    std::string line = lastErrorLine();
    Detail d;
    if (between(line, "DBus error occurred: ", ", ", "", d) || between(line, "DBus error (name=", ", message=", ")", d))
        return d;
    for (const char* prefix : {"Exception occurred: ", "Exception: ", "exception: "})
        if (line.compare(0, std::strlen(prefix), prefix) == 0) return {"", line.substr(std::strlen(prefix))};
    if (line.find("error code=") != std::string::npos) return {};
    return {"", line};
}

bool named(const std::string& error, const char* suffix) {
    size_t n = std::strlen(suffix);
    return error.size() >= n && error.compare(error.size() - n, n, suffix) == 0;
}

// A D-Bus error in words, with the exit status it calls for.
Failure explained(const std::string& context, const Detail& d) {
    const std::string& e = d.error;
    if (named(e, ".ServiceUnknown") || named(e, ".NameHasNoOwner") || named(e, ".Disconnected") ||
        named(e, ".NoServer"))
        return Failure(kUnreachable, context + ": the label manager service is not running");
    if (named(e, ".AccessDenied")) return Failure(kRefused, context + ": permission denied: only root may do this");
    if (named(e, ".NoReply") || named(e, ".Timeout") || named(e, ".TimedOut"))
        return Failure(kRefused, context + ": the label manager service did not answer in time");
    if (named(e, ".UnknownMethod") || named(e, ".UnknownInterface") || named(e, ".UnknownObject"))
        return Failure(kRefused,
                       context + ": the label manager service does not offer this call (is it older than the tool?)");
    if (named(e, ".NoMemory")) return Failure(kRefused, context + ": the label manager service ran out of memory");
    return Failure(kRefused, context + ": " + (d.text.empty() ? "the call failed" : d.text));
}

}  // namespace

std::string changeRefusal(const std::string& reason) {
    return ::geteuid() == 0 ? reason : "permission denied: only root may change labels";
}

void refused(const std::string& context, const std::string& reason) {
    Detail d = libraryDetail();
    if (!d.error.empty()) throw explained(context, d);
    throw Failure(kRefused, context + ": " + reason + (d.text.empty() ? "" : " (" + d.text + ")"));
}

void callFailed(const std::string& context, int status, const std::string& refusal) {
    if (status == -1) refused(context, refusal);
    callFailed(context, "the call could not be completed");
}

void callFailed(const std::string& context, const std::string& refusal) {
    Detail d = libraryDetail();
    if (!d.error.empty()) {
        Failure f = explained(context, d);
        if (f.code != kUnreachable) throw f;
    }
    std::string why = unreachableReason();
    if (!why.empty()) throw Failure(kUnreachable, context + ": " + why);
    throw Failure(kRefused, context + ": " + refusal + (d.error.empty() && !d.text.empty() ? ": " + d.text : ""));
}

}  // namespace zorvtool
