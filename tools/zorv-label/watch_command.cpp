// watch: the service's label-change notifications, one line each, until
// interrupted (or until --count of them have arrived).
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>

#include "protocol/notifications.h"
#include "tool.h"

namespace zorvtool {

namespace {

namespace notice_key = zorv::protocol::notice_key;

constexpr int kPresenceCheckMs = 1000;

volatile sig_atomic_t interrupted = 0;

void onSignal(int) { interrupted = 1; }

// A signal must interrupt the blocking receive rather than restart it.
void catchStopSignals() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The topic a notification was published under. The library hands over the
// payload only; the service names its topic after the member that changed
// something, which every payload carries.
std::string topicOf(const Json& message) {
    if (!message.is_object() || !message.contains(notice_key::kMember) || !message[notice_key::kMember].is_string())
        return "";
    const char* topic = zorv::protocol::topicOf(message[notice_key::kMember].get<std::string>().c_str());
    return topic ? topic : "";
}

// A change of the publisher's state, for the user: a line on standard error.
void notice(const std::string& what) {
    std::fprintf(stderr, "zorv-label: watch: %s\n", printableMessage(what).c_str());
    std::fflush(stderr);
}

}  // namespace

void addWatchCommand(CLI::App& app, Tool& tool) {
    struct Args {
        std::vector<std::string> topics;
        unsigned count = 0;
    };
    auto args = std::make_shared<Args>();
    CLI::App* watch = app.add_subcommand("watch", "print label-change notifications as they arrive");
    watch->add_option("topics", args->topics, "topics to follow (default: all)");
    watch->add_option("-n,--count", args->count, "stop after this many notifications");
    tool.on(watch, [&tool, args] {
        ServicePresence presence;
        const std::string absent = presence.absence();
        if (!absent.empty()) throw Failure(kUnreachable, "watch: " + absent);
        std::unique_ptr<void, decltype(&destroySubscriber)> subscriber(createSubscriber(), &destroySubscriber);
        std::vector<std::string> topics = args->topics.empty() ? std::vector<std::string>{""} : args->topics;
        for (const std::string& topic : topics)
            if (subscribeLabelChangeMsg(subscriber.get(), topic) != 0)
                refused("watch", "cannot subscribe to the notifications");
        catchStopSignals();
        // The service is asked after about every second without a message, so
        // that the user hears when the publisher goes away and comes back.
        bool away = false;
        for (unsigned seen = 0; args->count == 0 || seen < args->count;) {
            char* raw = nullptr;
            const int status = recvLabelChangeMsgWithin(subscriber.get(), &raw, kPresenceCheckMs);
            if (interrupted) {
                std::free(raw);
                return;
            }
            if (status < 0) refused("watch", "cannot receive the notifications");
            if (status == 1) {
                const std::string why = presence.absence();
                if (why.empty() == away) {
                    away = !why.empty();
                    notice(away ? why + "; waiting for it to come back" : "the label manager service is back");
                }
                continue;
            }
            ++seen;
            std::string payload(raw);
            std::free(raw);
            const std::string now = rfc3339(std::time(nullptr));
            if (!tool.out.json) {
                tool.out.line(now + " " + printable(payload));
                tool.out.finish();
                continue;
            }
            // The service's payloads are JSON; anything else is kept as text.
            Json message = Json::parse(payload, nullptr, false);
            if (message.is_discarded()) message = payload;
            tool.out.document({{"time", now}, {"topic", topicOf(message)}, {"message", message}}, true);
        }
    });
}

}  // namespace zorvtool
