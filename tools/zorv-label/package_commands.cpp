// Labelling whole packages, applications and interpreter trees, and resolving
// policies. A list is checked whole before the one call that sends it, so a
// bad entry changes nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "package_pages.h"
#include "protocol/arguments.h"
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
            for (unsigned tick = 0;; ++tick) {
                double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                std::fprintf(stderr, "\r\033[K%s %c %.1f s", what.c_str(), spin[tick % 4], seconds);
                if (cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return finished; })) break;
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

// 0 done; a positive reply is the service's refusal, `nothing` what its 1
// means for the command; a negative one a failure.
void labelled(int status, const std::string& context, const std::string& nothing) {
    if (status == 1) refused(context, nothing);
    if (status == 2) refused(context, "the service refused the request as invalid");
    if (status == 3) refused(context, changeRefusal("refused by the service"));
    if (status > 0) refused(context, "refused by the service");
    checkStatus(status, context, "refused");
}

// How many entries a tree holds, links not followed (as the service walks it).
size_t treeSize(const std::string& dir) {
    std::error_code ec;
    size_t n = 1;
    for (std::filesystem::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) ++n;
    if (ec) usageError(printable(dir) + ": " + ec.message());
    return n;
}

// Removes a package's files: the one change the library will not send, an
// empty list. The package keeps its row: identifiers are never reused.
void removePackage(Tool& tool, const std::string& name, bool dryRun) {
    const char* names[] = {name.c_str()};
    unsigned long id = 0;
    int count = getPkgIds(names, 1, &id);
    checkStatus(count, "package --remove " + printable(name), "refused by the service");
    if (count != 1 || id == ~0UL) refused("package --remove " + printable(name), "no package has this name");
    std::string idText = std::to_string(id);
    if (dryRun) {
        tool.out.result("would remove the files of " + printable(name) + " (package " + idText + ")",
                        {{"name", name}, {"pkg_id", id64Text(id)}, {"removed", false}, {"dry_run", true}});
        return;
    }
    AdminClient bus;
    const int32_t status = dropPackageFiles(bus, name, zorv::protocol::kPackageTypePackage);
    labelled(status, "package --remove " + printable(name), "refused by the service");
    tool.out.result("removed the files of " + printable(name) + "; package " + idText +
                        " stays recorded (identifiers are never reused)",
                    {{"name", name}, {"pkg_id", id64Text(id)}, {"removed", true}, {"dry_run", false}});
}

}  // namespace

void addPackageCommands(CLI::App& app, Tool& tool) {
    struct Args {
        std::string name, list, kind = "package", dir;
        bool missingOk = false, nul = false, remove = false, dryRun = false;
    };
    auto args = std::make_shared<Args>();

    CLI::App* package = app.add_subcommand("package", "label the files of a package or application, or remove them");
    package->add_option("name", args->name, "the package or application")->required();
    package->add_option("list", args->list, "file with one path per line (default or -: standard input)");
    package->add_option("-t,--type", args->kind, "package, lunvex or drova")
        ->check(CLI::IsMember({"package", "lunvex", "drova"}))
        ->capture_default_str();
    package->add_flag("--missing-ok", args->missingOk, "accept paths that do not exist");
    package->add_flag("-0,--null", args->nul, "paths are separated by NUL bytes, not lines");
    package->add_flag("--remove", args->remove, "drop every file recorded for the package");
    package->add_flag("--dry-run", args->dryRun, "check and print what would be done; change nothing");
    tool.on(package, [&tool, args] {
        requireName(args->name, "package name");
        if (args->remove) {
            if (!args->list.empty()) usageError("--remove takes no list");
            return removePackage(tool, args->name, args->dryRun);
        }
        Progress progress;
        std::vector<std::string> paths = checkFiles(readList(args->list, args->nul), args->missingOk, progress);
        if (paths.empty()) usageError("the list holds no paths (to drop a package's files: --remove)");
        const std::string summary = std::to_string(paths.size()) + " files of " + printable(args->name);
        Json result = {{"name", args->name}, {"type", args->kind}, {"count", paths.size()}, {"dry_run", args->dryRun}};
        if (args->dryRun) return tool.out.result("would label " + summary + " as " + args->kind, result);
        std::vector<char*> files = cStrings(paths);
        const char* name = args->name.c_str();
        int status = progress.during("labelling " + summary, [&] {
            if (args->kind == "lunvex") return setLabelForLunvex(files.data(), name);
            if (args->kind == "drova") return setLabelForDrova(files.data(), name);
            return setLabelForPkg(files.data(), static_cast<int>(paths.size()), name);
        });
        progress.clear();
        labelled(status, "package " + printable(args->name), "refused by the service");
        tool.out.result("labelled " + summary, result);
    });

    CLI::App* interpreter = app.add_subcommand("interpreter", "label an interpreter's directory tree");
    interpreter->add_option("kind", args->kind, "lunvex or drova")
        ->required()
        ->check(CLI::IsMember({"lunvex", "drova"}));
    interpreter->add_option("dir", args->dir, "its base directory")->required();
    interpreter->add_flag("--dry-run", args->dryRun, "check and print what would be done; change nothing");
    tool.on(interpreter, [&tool, args] {
        std::string dir = servicePath(args->dir);
        struct stat st;
        if (::lstat(dir.c_str(), &st) != 0) usageError(printable(dir) + ": " + std::strerror(errno));
        if (!S_ISDIR(st.st_mode)) usageError(printable(dir) + " is not a directory (links are not followed)");
        Json result = {{"interpreter", args->kind}, {"path", dir}, {"dry_run", args->dryRun}};
        if (args->dryRun) {
            size_t count = treeSize(dir);
            result["count"] = count;
            return tool.out.result("would label the " + args->kind + " interpreter at " + printable(dir) + " (" +
                                       std::to_string(count) + " files)",
                                   result);
        }
        Progress progress;
        int status = progress.during("labelling " + printable(dir), [&] {
            return args->kind == "lunvex" ? setLabelForLunvexInterpreter(dir.c_str())
                                          : setLabelForDrovaInterpreter(dir.c_str());
        });
        progress.clear();
        labelled(status, "interpreter " + printable(dir), "not a directory");
        tool.out.result("labelled the " + args->kind + " interpreter at " + printable(dir), result);
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
        labelled(status, "drova-base", "a host file belongs to no recorded package");
        tool.out.result("labelled " + std::to_string(drova.size()) + " Drova base files", {{"count", drova.size()}});
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
                for (const ZORV_ID& id : list) entry.push_back(identifierText(id));
            }
        tool.out.document(result);
    });
}

}  // namespace zorvtool
