// history: the service's audit trail, oldest first: who changed which label,
// when, from what to what, and which changes were refused. Root only.
#include <ctime>
#include <memory>

#include "json_forms.h"
#include "service_call.h"
#include "tool.h"

namespace zorvtool {

namespace {

constexpr uint32_t kPage = 1000;

// journalctl's forms: "YYYY-MM-DD[ HH:MM[:SS]]" in local time, "today",
// "yesterday", "now", or "-N" with a unit s, m, h or d (ago). Microseconds
// since the epoch.
uint64_t parseSince(const std::string& text) {
    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    std::tm local{};
    time_t t = now;
    localtime_r(&t, &local);
    if (text == "now") return uint64_t(now) * 1000000;
    if (text == "today" || text == "yesterday") {
        local.tm_hour = local.tm_min = local.tm_sec = 0;
        local.tm_mday -= text == "yesterday";
        local.tm_isdst = -1;
        return uint64_t(mktime(&local)) * 1000000;
    }
    if (text.size() > 2 && text[0] == '-') {
        const std::string units = "smhd";
        const int64_t scale[] = {1, 60, 3600, 86400};
        std::size_t unit = units.find(text.back());
        if (unit != std::string::npos) {
            uint64_t n = parseNumber(text.substr(1, text.size() - 2), "--since", 0, 36500ull * 86400);
            int64_t at = now - int64_t(n) * scale[unit];
            return at > 0 ? uint64_t(at) * 1000000 : 0;
        }
    }
    std::tm when{};
    for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d"}) {
        when = std::tm{};
        const char* end = strptime(text.c_str(), format, &when);
        if (end && *end == '\0') {
            when.tm_isdst = -1;
            time_t at = mktime(&when);
            if (at >= 0) return uint64_t(at) * 1000000;
        }
    }
    usageError("--since takes YYYY-MM-DD [HH:MM[:SS]], today, yesterday, now or -N[smhd], not '" + text + "'");
}

struct Entry {
    uint64_t id, time;
    uint32_t uid, pid;
    std::string member, subject, oldValue, newValue, result;
    auto fields() { return std::tie(id, time, uid, pid, member, subject, oldValue, newValue, result); }
};

}  // namespace

void addHistoryCommand(CLI::App& app, Tool& tool) {
    struct Args {
        std::string path, since;
    };
    auto args = std::make_shared<Args>();
    CLI::App* history = app.add_subcommand("history", "show who changed which label, and what was refused (root)");
    history->add_option("path", args->path, "only changes naming this path or a path below it");
    history->add_option("--since", args->since, "only entries since this time (YYYY-MM-DD [HH:MM[:SS]], -1h, today)");
    tool.on(history, [&tool, args] {
        std::string path = args->path.empty() ? "" : servicePath(args->path);
        uint64_t since = args->since.empty() ? 0 : parseSince(args->since);
        AdminClient admin;
        std::vector<Entry> entries;
        for (uint64_t after = 0;;) {
            std::vector<Entry> page;
            Call<zorv::protocol::admin::History>(path, since, after, kPage).invoke(admin, page);
            entries.insert(entries.end(), page.begin(), page.end());
            if (page.size() < kPage) break;
            after = page.back().id;
        }
        if (tool.out.json) {
            Json list = Json::array();
            for (const Entry& e : entries)
                list.push_back({{"time", rfc3339FromMicros(e.time)}, {"uid", e.uid}, {"pid", e.pid}, {"member", e.member},
                                {"subject", e.subject}, {"old", e.oldValue}, {"new", e.newValue},
                                {"result", e.result}});
            tool.out.document(list);
            return;
        }
        std::vector<std::vector<std::string>> rows;
        for (const Entry& e : entries)
            rows.push_back({rfc3339FromMicros(e.time), std::to_string(e.uid), std::to_string(e.pid),
                            printable(e.member), printable(e.subject.empty() ? "-" : e.subject),
                            printable((e.oldValue.empty() ? "-" : e.oldValue) + " -> " +
                                      (e.newValue.empty() ? "-" : e.newValue)),
                            printable(e.result)});
        tool.out.table({"TIME", "UID", "PID", "MEMBER", "SUBJECT", "CHANGE", "RESULT"}, rows);
    });
}

}  // namespace zorvtool
