// Labelling whole packages, applications and interpreter trees, and resolving
// policies. A list is checked whole before the one call that sends it, so a
// bad entry changes nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "tool.h"

namespace zorvtool {

namespace {

// Progress on standard error while it is a terminal; nothing otherwise.
class Progress {
public:
    Progress() : enabled_(::isatty(STDERR_FILENO) == 1) {}
    ~Progress() { clear(); }

    // Redrawn at most ten times a second, and at the last step.
    void step(const char* what, size_t done, size_t total) {
        if (!enabled_) return;
        auto now = std::chrono::steady_clock::now();
        if (done != total && now - drawn_ < std::chrono::milliseconds(100)) return;
        drawn_ = now;
        std::fprintf(stderr, "\r\033[K%s %zu/%zu", what, done, total);
    }

    // Runs `call` while the line shows how long it has been waiting.
    template <typename Call>
    int during(const std::string& what, Call call) {
        if (!enabled_) return call();
        std::mutex m;
        std::condition_variable cv;
        bool finished = false;
        auto start = std::chrono::steady_clock::now();
        std::thread ticker([&] {
            static const char spin[] = "|/-\\";
            std::unique_lock<std::mutex> lock(m);
            for (unsigned tick = 0; !finished; ++tick) {
                double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                std::fprintf(stderr, "\r\033[K%s %c %.1f s", what.c_str(), spin[tick % 4], seconds);
                cv.wait_for(lock, std::chrono::milliseconds(100));
            }
        });
        int status;
        try {
            status = call();
        } catch (...) {
            stop(m, cv, finished, ticker);
            throw;
        }
        stop(m, cv, finished, ticker);
        return status;
    }

    void clear() {
        if (enabled_) std::fprintf(stderr, "\r\033[K");
    }

private:
    static void stop(std::mutex& m, std::condition_variable& cv, bool& finished, std::thread& ticker) {
        {
            std::lock_guard<std::mutex> lock(m);
            finished = true;
        }
        cv.notify_one();
        ticker.join();
    }

    bool enabled_;
    std::chrono::steady_clock::time_point drawn_{};
};

// The entries as service paths; each must exist unless `missingOk`.
std::vector<std::string> checkFiles(const std::vector<std::string>& entries, bool missingOk, Progress& progress) {
    std::vector<std::string> paths;
    paths.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string where = "entry " + std::to_string(i + 1);
        try {
            paths.push_back(servicePath(entries[i]));
        } catch (const Failure& f) {
            usageError(where + ": " + f.what());
        }
        struct stat st;
        if (!missingOk && ::lstat(paths.back().c_str(), &st) != 0)
            usageError(where + ": " + printable(paths.back()) + ": " + std::strerror(errno));
        progress.step("checking files", i + 1, entries.size());
    }
    return paths;
}

// The library's lists are arrays of C strings.
std::vector<char*> cStrings(std::vector<std::string>& texts) {
    std::vector<char*> list;
    list.reserve(texts.size() + 1);
    for (std::string& text : texts) list.push_back(text.data());
    list.push_back(nullptr);
    return list;
}

// 0 done; a positive reply is the service's refusal; a negative one a failure.
void labelled(Tool& tool, int status, const std::string& context, const Json& result,
              const std::string& text) {
    if (status > 0) refused(context, status, "the service refused (it answered " + std::to_string(status) + ")");
    checkStatus(status, context, "refused");
    tool.out.result(text, result);
}

// What a dry run prints: the files that would be labelled, one a line, or
// the command's result with the list under "files" and its length in "count".
void dryRunFiles(Tool& tool, const std::vector<std::string>& files, Json result) {
    if (!tool.out.json) {
        for (const std::string& f : files) tool.out.line(printable(f));
        return;
    }
    result["files"] = files;
    result["count"] = files.size();
    result["dry_run"] = true;
    tool.out.document(result);
}

}  // namespace

void addPackageCommands(CLI::App& app, Tool& tool) {
    struct Args {
        std::string name, list, kind = "package", dir;
        bool missingOk = false, nul = false, dryRun = false;
    };
    auto args = std::make_shared<Args>();

    CLI::App* package = app.add_subcommand("package", "label the files of a package or application");
    package->add_option("name", args->name, "the package or application")->required();
    package->add_option("list", args->list, "file with one path per line (default or -: standard input)");
    package->add_option("-t,--type", args->kind, "package, lunvex or drova")
        ->check(CLI::IsMember({"package", "lunvex", "drova"}))
        ->capture_default_str();
    package->add_flag("--missing-ok", args->missingOk, "accept paths that do not exist");
    package->add_flag("-0,--null", args->nul, "paths are separated by NUL bytes, not lines");
    package->add_flag("-n,--dry-run", args->dryRun, "check the list and print the files, but send nothing");
    tool.on(package, [&tool, args] {
        requireUtf8(args->name, "package name");
        if (args->name.empty()) usageError("empty package name");
        Progress progress;
        std::vector<std::string> paths = checkFiles(readList(args->list, args->nul), args->missingOk, progress);
        if (paths.empty()) usageError("the list holds no paths");
        if (args->dryRun) {
            dryRunFiles(tool, paths, {{"name", args->name}, {"type", args->kind}});
            return;
        }
        std::vector<char*> files = cStrings(paths);
        const char* name = args->name.c_str();
        std::string what = "labelling " + std::to_string(paths.size()) + " files of " + printable(args->name);
        int status = progress.during(what, [&] {
            if (args->kind == "lunvex") return setLabelForLunvex(files.data(), name);
            if (args->kind == "drova") return setLabelForDrova(files.data(), name);
            return setLabelForPkg(files.data(), static_cast<int>(paths.size()), name);
        });
        progress.clear();
        labelled(tool, status, "package " + printable(args->name),
                 {{"package", args->name}, {"type", args->kind}, {"files", paths.size()}},
                 "labelled " + std::to_string(paths.size()) + " files of " + printable(args->name));
    });

    CLI::App* interpreter = app.add_subcommand("interpreter", "label an interpreter's directory tree");
    interpreter->add_option("kind", args->kind, "lunvex or drova")->required()->check(CLI::IsMember({"lunvex", "drova"}));
    interpreter->add_option("dir", args->dir, "its base directory")->required();
    interpreter->add_flag("-n,--dry-run", args->dryRun, "print the files of the tree, but send nothing");
    tool.on(interpreter, [&tool, args] {
        std::string dir = servicePath(args->dir);
        struct stat st;
        if (::lstat(dir.c_str(), &st) != 0) usageError(printable(dir) + ": " + std::strerror(errno));
        if (!S_ISDIR(st.st_mode)) usageError(printable(dir) + " is not a directory (links are not followed)");
        if (args->dryRun) {
            // The tree as the service walks it: links are listed, not followed.
            std::vector<std::string> files;
            if (traverseDirectory(dir, files) != 0) refused("interpreter " + printable(dir), -1, "cannot walk the tree");
            dryRunFiles(tool, files, {{"interpreter", args->kind}, {"path", dir}});
            return;
        }
        Progress progress;
        int status = progress.during("labelling " + printable(dir), [&] {
            return args->kind == "lunvex" ? setLabelForLunvexInterpreter(dir.c_str())
                                          : setLabelForDrovaInterpreter(dir.c_str());
        });
        progress.clear();
        labelled(tool, status, "interpreter " + printable(dir), {{"interpreter", args->kind}, {"path", dir}},
                 "labelled the " + args->kind + " interpreter at " + printable(dir));
    });

    CLI::App* drovaBase = app.add_subcommand("drova-base", "label Drova base files after their host files");
    drovaBase->add_option("list", args->list, "file of DROVA-PATH<TAB>HOST-PATH lines (default or -: standard input)");
    tool.on(drovaBase, [&tool, args] {
        std::vector<std::string> drova, host;
        std::vector<std::string> lines = readList(args->list, false);
        for (size_t i = 0; i < lines.size(); ++i) {
            size_t tab = lines[i].find('\t');
            std::string where = "line " + std::to_string(i + 1) + ": ";
            if (tab == std::string::npos) usageError(where + "expected DROVA-PATH<TAB>HOST-PATH");
            try {
                drova.push_back(servicePath(lines[i].substr(0, tab)));
                host.push_back(servicePath(lines[i].substr(tab + 1)));
            } catch (const Failure& f) {
                usageError(where + f.what());
            }
        }
        if (drova.empty()) usageError("the list holds no pairs");
        std::vector<char*> drovaList = cStrings(drova), hostList = cStrings(host);
        Progress progress;
        int status = progress.during("labelling " + std::to_string(drova.size()) + " Drova base files",
                                     [&] { return setLabelForDrovaBaseFiles(drovaList.data(), hostList.data()); });
        progress.clear();
        labelled(tool, status, "drova-base", {{"files", drova.size()}},
                 "labelled " + std::to_string(drova.size()) + " Drova base files");
    });

    CLI::App* policy = app.add_subcommand("policy", "resolve a policy into identifiers (JSON in, JSON out)");
    policy->add_option("file", args->list, "policy file (default or -: standard input)");
    tool.on(policy, [&tool, args] {
        Json input = Json::parse(readInput(args->list, "policy"), nullptr, false);
        if (input.is_discarded()) usageError("the policy is not JSON");
        std::map<std::string, std::vector<std::string>> policies;
        if (!input.is_object()) usageError("the policy must be an object of category: [names]");
        for (const auto& [category, names] : input.items()) {
            if (!names.is_array()) usageError("category '" + category + "' must list names");
            for (const auto& name : names) {
                if (!name.is_string()) usageError("category '" + category + "' must list names as strings");
                policies[category].push_back(name.get<std::string>());
            }
        }
        std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>> ids;
        if (policies_parse(policies, ids) != 0) callFailed("policy", "the service could not resolve it");
        Json result = Json::object();
        for (const auto& [category, names] : ids)
            for (const auto& [name, list] : names) {
                Json& entry = result[category][name] = Json::array();
                for (const ZORV_ID& id : list) entry.push_back(Id(id.pkg_id, id.file_id, id.path_id).toString());
            }
        tool.out.document(result);
    });
}

}  // namespace zorvtool
