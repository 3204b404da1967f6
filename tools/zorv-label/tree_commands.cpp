// restore and verify: the label that each file's records give it, compared
// with the one in its security.zorv and, for restore, written where they
// differ; with -R for every file below each path. The service walks the
// trees itself (root only, over its administration interface), about a
// second of work per call, and says where to go on. A walk of "/" keeps to
// its file system unless told otherwise, and none enters the kernel's
// virtual file systems; a recursive walk uses a thread per processor.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>

#include "protocol/relabel_flags.h"
#include "relabel_calls.h"
#include "service_call.h"
#include "tool.h"

namespace zorvtool {

namespace {

using namespace zorv::protocol::relabel;  // the flags of Relabel

using Report = RelabelReport;
using Outcome = RelabelOutcome;

bool isNotEntered(const std::string& problem) { return problem.rfind(kNotEntered, 0) == 0; }

// One line on standard error while it is a terminal, redrawn at most ten
// times a second.
class ProgressLine {
public:
    explicit ProgressLine(bool wanted) : enabled_(wanted && ::isatty(STDERR_FILENO) == 1) {}
    ~ProgressLine() {
        if (enabled_ && drawn_) std::fprintf(stderr, "\r\033[K");
    }
    void show(const std::string& text) {
        if (!enabled_) return;
        auto now = std::chrono::steady_clock::now();
        if (drawn_ && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        drawn_ = true;
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
    }

private:
    bool enabled_, drawn_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace

RelabelOutcome relabelPaths(AdminClient& admin, const std::vector<std::string>& paths, uint32_t flags,
                            const char* doing) {
    Outcome outcome;
    ProgressLine progress(doing != nullptr && (flags & kRecursive));
    uint32_t index = 0;
    std::string after;
    while (index < paths.size()) {
        std::vector<Report> reports;
        uint32_t next = 0;
        std::map<std::string, uint64_t> counts;
        Call<zorv::protocol::admin::Relabel>(paths, flags, index, after).invoke(admin, reports, next, after, counts);
        for (Report& r : reports)
            (r.problem.empty() ? outcome.files : isNotEntered(r.problem) ? outcome.notEntered : outcome.failed)
                .push_back(std::move(r));
        outcome.checked += counts["checked"];
        outcome.changed += counts["changed"];
        outcome.unrecorded += counts["unrecorded"];
        if (next < index || (next == index && after.empty() && index < paths.size()))
            throw Failure(kRefused, "the service made no progress");
        index = next;
        const std::string& at = !after.empty() ? after : index < paths.size() ? paths[index] : paths.back();
        if (doing != nullptr)
            progress.show(std::string(doing) + " " + printable(at) + ": " + std::to_string(outcome.checked) +
                          " files checked, " + std::to_string(outcome.changed) +
                          ((flags & kWrite) ? " written" : " differ"));
    }
    return outcome;
}

namespace {

Outcome relabel(const std::vector<std::string>& paths, uint32_t flags, const char* doing) {
    AdminClient admin;
    return relabelPaths(admin, paths, flags, doing);
}

Json document(const Outcome& o) {
    Json files = Json::array(), failed = Json::array();
    for (const Report& r : o.files)
        files.push_back({{"path", r.path}, {"label", r.label}, {"found", r.found.empty() ? Json() : Json(r.found)}});
    for (const Report& r : o.failed) failed.push_back({{"path", r.path}, {"message", r.problem}});
    Json notEntered = Json::array();
    for (const Report& r : o.notEntered) notEntered.push_back({{"path", r.path}, {"message", r.problem}});
    return Json{{"checked", o.checked}, {"count", o.changed}, {"unrecorded", o.unrecorded}, {"files", files},
                {"failed", failed}, {"not_entered", notEntered}};
}

// The directories not entered, one line each on standard error: not a
// failure (the walk was told to keep to one file system, or the kernel makes
// up what is there), but what the walk did not label.
void reportNotEntered(Tool& tool, const Outcome& o, const std::string& command) {
    if (tool.out.json) return;
    for (const Report& r : o.notEntered)
        std::fprintf(stderr, "zorv-label: %s %s: %s\n", command.c_str(), printable(r.path).c_str(),
                     printable(r.problem).c_str());
}

// The files that failed, one line each on standard error, then the failure.
void reportFailures(Tool& tool, const Outcome& o, const std::string& command) {
    if (o.failed.empty()) return;
    if (!tool.out.json)
        for (const Report& r : o.failed)
            std::fprintf(stderr, "zorv-label: %s %s: %s\n", command.c_str(), printable(r.path).c_str(),
                         printable(r.problem).c_str());
    throw Failure(kRefused, command + ": " + std::to_string(o.failed.size()) + " files failed");
}

std::vector<std::vector<std::string>> rows(const Outcome& o, bool withFound) {
    std::vector<std::vector<std::string>> rows;
    rows.reserve(o.files.size());
    for (const Report& r : o.files) {
        rows.push_back({printable(r.path), r.label});
        if (withFound) rows.back().push_back(r.found.empty() ? "-" : printable(r.found));
    }
    return rows;
}

std::vector<std::string> servicePaths(const std::vector<std::string>& args) {
    std::vector<std::string> paths;
    for (const std::string& a : args) paths.push_back(servicePath(a));
    return paths;
}

// A thread per processor, as many as the service gives one call at most.
unsigned threadsPerProcessor() {
    const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
    return processors > 1 ? static_cast<unsigned>(std::min<long>(processors, kMaxThreads)) : 1;
}

struct WalkOptions {
    unsigned threads = threadsPerProcessor();
    bool xdev = false, crossDevices = false;
};

// --threads, --xdev and --cross-devices, for restore and verify.
void addWalkOptions(CLI::App* command, WalkOptions& options) {
    command
        ->add_option("--threads", options.threads,
                     "threads that label the files of a recursive walk (default: one per processor)")
        ->check(CLI::Range(1u, kMaxThreads));
    CLI::Option* xdev = command->add_flag("-x,--xdev", options.xdev,
                                          "enter no directory on another file system (the default for /)");
    command->add_flag("--cross-devices", options.crossDevices, "enter other file systems, also below /")
        ->excludes(xdev);
}

// The flags of a walk of `paths` with these options: a walk of / keeps to
// its file system unless told otherwise.
uint32_t walkFlags(const std::vector<std::string>& paths, const WalkOptions& options, bool recursive) {
    if (!recursive) return 0;
    const bool wholeSystem = std::find(paths.begin(), paths.end(), "/") != paths.end();
    const bool oneFileSystem = options.xdev || (wholeSystem && !options.crossDevices);
    return kRecursive | (oneFileSystem ? kOneFileSystem : 0) | threadsFlag(options.threads);
}

}  // namespace

void addTreeCommands(CLI::App& app, Tool& tool) {
    struct Args {
        std::vector<std::string> paths;
        bool recursive = false, init = false, dryRun = false;
        WalkOptions walk;
    };
    auto args = std::make_shared<Args>();

    CLI::App* restore = app.add_subcommand("restore", "write the label that their records give files (root)");
    restore->add_option("paths", args->paths, "the files")->required();
    restore->add_flag("-R,--recursive", args->recursive, "also every file below them (links are not followed)");
    restore->add_flag("--init", args->init, "the initial label, without the values users set");
    restore->add_flag("-n,--dry-run", args->dryRun, "only print the files whose label would be written");
    addWalkOptions(restore, args->walk);
    tool.on(restore, [&tool, args] {
        std::vector<std::string> paths = servicePaths(args->paths);
        if (paths.size() == 1 && !args->recursive && !args->dryRun) {
            // One file: the library's own call, which prints the label written.
            const std::string& path = paths.front();
            std::string label = args->init ? restoreSingleFileInitLabel(path) : restoreSingleFileLabel(path);
            if (label.empty()) callFailed("restore " + printable(path), "the service gave no answer");
            tool.out.result(printable(label), {{"path", path}, {"label", label}, {"initial", args->init}});
            return;
        }
        uint32_t flags = walkFlags(paths, args->walk, args->recursive) | (args->init ? kInitial : 0) |
                         (args->dryRun ? 0 : kWrite | (tool.out.json ? kReportWritten : 0));
        Outcome o = relabel(paths, flags, args->dryRun ? "checking" : "restoring");
        if (tool.out.json)
            tool.out.document(document(o));
        else if (args->dryRun)
            tool.out.table({"PATH", "LABEL"}, rows(o, false));
        else
            tool.out.line("restored " + std::to_string(o.changed) + " labels (" + std::to_string(o.checked) +
                          " files checked, " + std::to_string(o.unrecorded) + " without records" +
                          (o.notEntered.empty() ? "" : ", " + std::to_string(o.notEntered.size()) +
                                                           " directories not entered") + ")");
        reportNotEntered(tool, o, "restore");
        reportFailures(tool, o, "restore");
    });

    CLI::App* verify = app.add_subcommand("verify", "list the files whose label differs from their records (root)");
    verify->add_option("paths", args->paths, "the files")->required();
    verify->add_flag("-R,--recursive", args->recursive, "also every file below them (links are not followed)");
    verify->add_flag("--init", args->init, "compare with the initial label, without the values users set");
    addWalkOptions(verify, args->walk);
    tool.on(verify, [&tool, args] {
        std::vector<std::string> paths = servicePaths(args->paths);
        uint32_t flags = walkFlags(paths, args->walk, args->recursive) | (args->init ? kInitial : 0);
        Outcome o = relabel(paths, flags, "verifying");
        if (tool.out.json)
            tool.out.document(document(o));
        else if (!o.files.empty())
            tool.out.table({"PATH", "LABEL", "FOUND"}, rows(o, true));
        reportNotEntered(tool, o, "verify");
        reportFailures(tool, o, "verify");
        if (!o.files.empty())
            throw Failure(kRefused, "verify: " + std::to_string(o.files.size()) + " files differ from their records");
    });
}

}  // namespace zorvtool
