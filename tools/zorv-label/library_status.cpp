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

#include "client/service_names.h"
#include "tool.h"

namespace zorvtool {

namespace {

log4cpp::StringQueueAppender* errorLines = nullptr;

// Why the service cannot be reached, or "" when it is on the bus.
std::string unreachableReason() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (bus == nullptr) {
        std::string why = std::string("cannot reach the system bus: ") + (error.message ? error.message : "");
        dbus_error_free(&error);
        return why;
    }
    dbus_connection_set_exit_on_disconnect(bus, FALSE);
    bool owned = dbus_bus_name_has_owner(bus, zorv::protocol::kServiceName, &error);
    std::string why;
    if (dbus_error_is_set(&error)) {
        why = std::string("cannot ask the bus about the service: ") + error.message;
        dbus_error_free(&error);
    } else if (!owned) {
        why = "the label manager service is not running";
    }
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return why;
}

}  // namespace

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

std::string libraryDetail() {
    if (errorLines == nullptr || errorLines->queueSize() == 0) return "";
    std::string last;
    while (errorLines->queueSize() > 0) last = errorLines->popMessage();
    // Lines start with "[function:line] ".
    if (!last.empty() && last[0] == '[') {
        size_t close = last.find("] ");
        if (close != std::string::npos) last.erase(0, close + 2);
    }
    while (!last.empty() && (last.back() == '\n' || last.back() == ' ')) last.pop_back();
    return last;
}

void refused(const std::string& context, int status, const std::string& reason) {
    std::string detail = libraryDetail();
    throw Failure(kRefused, context + ": " + reason + (detail.empty() ? "" : " (" + detail + ")") + " [status " +
                                std::to_string(status) + "]");
}

void callFailed(const std::string& context, int status, const std::string& refusal) {
    if (status == -1) refused(context, status, refusal);
    std::string why = unreachableReason();
    if (!why.empty()) throw Failure(kUnreachable, context + ": " + why + " [status " + std::to_string(status) + "]");
    refused(context, status, "the call failed");
}

void callFailed(const std::string& context, const std::string& refusal) {
    std::string detail = libraryDetail();
    std::string why = unreachableReason();
    if (!why.empty()) throw Failure(kUnreachable, context + ": " + why);
    throw Failure(kRefused, context + ": " + refusal + (detail.empty() ? "" : ": " + detail));
}

}  // namespace zorvtool
