// sync-packages: the service's packages (type 1) brought in step with dpkg's
// database. A package dpkg has configured and the service does not hold as
// it was last labelled is labelled with its files, one call per package,
// and then those files' labels are restored; a package dpkg has removed
// loses its files. A failure on one package is reported and the others go
// on. What was done is kept in a state file, so that a run with nothing to
// do sends no change and writes no file.
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>

#include "dpkg_database.h"
#include "protocol/arguments.h"
#include "protocol/members.h"
#include "protocol/relabel_flags.h"
#include "package_pages.h"
#include "relabel_calls.h"
#include "sync_state.h"
#include "tool.h"

namespace zorvtool {

namespace {

namespace protocol = zorv::protocol;

// Paths per Relabel sequence, well within one message.
constexpr size_t kRestoreBatch = 20000;

struct RecordedPackage {
    uint32_t type = 0;
    uint64_t files = 0;
};

// Every package the service records, by name (administration interface).
std::map<std::string, RecordedPackage> recordedPackages(AdminClient& admin) {
    std::map<std::string, RecordedPackage> out;
    for (const Package& p : allPackages(admin)) out[p.name] = {p.type, p.files};
    return out;
}

const char* ownerKind(uint32_t type) {
    switch (type) {
        case protocol::kPackageTypeInterpreter: return "an interpreter tree";
        case protocol::kPackageTypeDrova: return "a Drova application";
        case protocol::kPackageTypeLunvex: return "a Lunvex application";
    }
    return "something else than a package";
}

// "" when the service took the list, else why not.
std::string statusText(int status) {
    switch (status) {
        case 0: return "";
        case -1: return "the library refused the file list (a path that is not valid UTF-8, or too many)";
        case -2: return "the call to the service failed or timed out";
        case 2: return "the service refused the file list as invalid";
        case 3: return "only root may label packages";
    }
    return "the labelling failed (status " + std::to_string(status) + ")";
}

// Gives the package exactly `files`; an empty list drops them all, a call
// the library will not make for its callers.
std::string recordFiles(AdminClient& admin, const std::string& name, std::vector<std::string>& files) {
    if (!files.empty()) {
        std::vector<char*> list;
        list.reserve(files.size());
        for (std::string& f : files) list.push_back(f.data());
        return statusText(setLabelForPkg(list.data(), static_cast<int>(list.size()), name.c_str()));
    }
    try {
        return statusText(dropPackageFiles(admin, name, protocol::kPackageTypePackage));
    } catch (const Failure& f) {
        if (f.code == kUnreachable) throw;
        return f.what();
    }
}

// Writes the recorded labels of `paths` onto the files; the paths that
// failed, with the service's reason.
std::vector<std::pair<std::string, std::string>> restoreLabels(AdminClient& admin,
                                                               const std::vector<std::string>& paths) {
    std::vector<std::pair<std::string, std::string>> failed;
    for (size_t start = 0; start < paths.size(); start += kRestoreBatch) {
        const std::vector<std::string> batch(paths.begin() + start,
                                             paths.begin() + std::min(paths.size(), start + kRestoreBatch));
        for (RelabelReport& r : relabelPaths(admin, batch, protocol::relabel::kWrite, nullptr).failed)
            failed.emplace_back(std::move(r.path), std::move(r.problem));
    }
    return failed;
}

// Whether `dir` is where the kernel mounts one of its virtual file systems
// (base-files lists /proc and /sys): nothing there keeps a label.
bool kernelMount(const std::string& dir) {
    struct statfs fs;
    if (::statfs(dir.c_str(), &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case PROC_SUPER_MAGIC:
        case SYSFS_MAGIC:
        case CGROUP_SUPER_MAGIC:
        case CGROUP2_SUPER_MAGIC:
        case DEVPTS_SUPER_MAGIC:
        case DEBUGFS_MAGIC:
        case TRACEFS_MAGIC:
        case SECURITYFS_MAGIC:
        case PSTOREFS_MAGIC:
        case BPF_FS_MAGIC:
        case EFIVARFS_MAGIC: return true;
    }
    return false;
}

// The entries of the list that are regular files, directories or links on
// disk, each by the path of its own directory without links: on a system
// whose /bin is a link to /usr/bin, /bin/sh of dpkg's list is /usr/bin/sh,
// and the service writes no label through a link. What is missing (a
// configuration file the administrator deleted) or of another kind is not
// recorded.
std::vector<std::string> presentFiles(const std::vector<std::string_view>& files) {
    std::vector<std::string> out;
    out.reserve(files.size());
    std::map<std::string, std::string, std::less<>> realDirs;  // "" when it cannot be resolved
    for (std::string_view f : files) {
        std::string path(f);
        const size_t slash = f.rfind('/');
        if (slash != std::string_view::npos && f.size() > 1) {
            const std::string_view dir = slash == 0 ? std::string_view("/") : f.substr(0, slash);
            auto known = realDirs.find(dir);
            if (known == realDirs.end()) {
                std::unique_ptr<char, decltype(&std::free)> real(::realpath(std::string(dir).c_str(), nullptr),
                                                                 &std::free);
                known = realDirs.emplace(std::string(dir), real ? real.get() : "").first;
            }
            if (known->second.empty()) continue;
            path = (known->second == "/" ? "" : known->second) + std::string(f.substr(slash));
        }
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode)))
            continue;
        if (S_ISDIR(st.st_mode) && kernelMount(path)) continue;
        out.push_back(std::move(path));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// Whether the state describes exactly the packages dpkg has, with the same
// versions and the same file lists and diversions as then, and the service
// knows every one of them: then there is nothing to do, and neither the
// lists need be read nor the service list its packages (which costs it a
// look at every recorded file).
bool nothingToDo(const DpkgDatabase& db, const SyncState& state, const std::string& diversionsStamp) {
    if (!db.inProgress.empty() || diversionsStamp != db.diversionsStamp || state.size() != db.installed.size())
        return false;
    std::vector<const char*> names;
    for (const auto& [name, package] : db.installed) {
        auto s = state.find(name);
        if (s == state.end() || s->second.version != package.version || s->second.listStamp != package.listStamp)
            return false;
        names.push_back(name.c_str());
    }
    if (names.empty()) return true;
    std::vector<unsigned long> ids(names.size());
    const int known = getPkgIds(names.data(), static_cast<unsigned int>(names.size()), ids.data());
    if (known == -2) callFailed("sync-packages", known, "refused by the service");
    return known == static_cast<int>(names.size()) &&
           std::none_of(ids.begin(), ids.end(), [](unsigned long id) { return id == ~0UL; });
}

struct Options {
    std::string admindir = "/var/lib/dpkg", state = "/var/lib/zorv/sync-packages.state";
    bool dryRun = false, noRestore = false, all = false;
};

struct Work {
    std::string name, reason;
    const DpkgPackage* package = nullptr;
    SyncedPackage synced;
    std::vector<std::string> files;  // present on disk, as recorded
};

void syncPackages(Tool& tool, const Options& options) {
    if (options.admindir.empty() || options.state.empty()) usageError("--admindir and --state need a path");
    requireUtf8(options.admindir, "--admindir");
    DpkgDatabase db = readDpkgDatabase(options.admindir);
    std::string diversionsBefore;
    const SyncState before = loadSyncState(options.state, diversionsBefore);

    Json labelled = Json::array(), dropped = Json::array(), failed = Json::array();
    uint64_t unchanged = 0;
    if (!options.all && nothingToDo(db, before, diversionsBefore)) {
        if (tool.out.json)
            tool.out.document({{"dry_run", options.dryRun},
                               {"labelled", labelled},
                               {"dropped", dropped},
                               {"failed", failed},
                               {"unchanged", db.installed.size()}});
        return;
    }
    readDpkgFiles(db, options.admindir);
    AdminClient admin;
    const std::map<std::string, RecordedPackage> recorded = recordedPackages(admin);
    SyncState after = before;
    auto say = [&](const std::string& text) {
        if (!tool.out.json) tool.out.line(text);
    };
    // A package that failed is compared afresh by the next run; one whose
    // files could not be dropped stays in the state, to be dropped then.
    auto fail = [&](const std::string& name, const std::string& message, bool forget = true) {
        if (!tool.out.json)
            std::fprintf(stderr, "zorv-label: sync-packages %s: %s\n", printable(name).c_str(),
                         printableMessage(message).c_str());
        failed.push_back({{"name", name}, {"message", message}});
        if (forget) after.erase(name);
    };

    // What needs labelling: anything the service does not hold as the state
    // says it was left, whatever the state says.
    std::vector<Work> work;
    for (const auto& [name, package] : db.installed) {
        auto r = recorded.find(name);
        const uint64_t held = r == recorded.end() ? 0 : r->second.files;
        const uint32_t type = r == recorded.end() ? protocol::kPackageTypeNone : r->second.type;
        if (type != protocol::kPackageTypeNone && type != protocol::kPackageTypePackage) {
            fail(name, std::string("the service records this name as ") + ownerKind(type) + "; left as it is");
            continue;
        }
        Work w{name, "", &package, {package.version, package.listStamp, package.digest, 0}, {}};
        auto s = before.find(name);
        if (!options.all && s != before.end() && s->second.version == w.synced.version &&
            s->second.listStamp == w.synced.listStamp && s->second.digest == w.synced.digest &&
            s->second.count == held) {
            ++unchanged;
            continue;
        }
        w.reason = s == before.end() || held == 0         ? "new"
                   : s->second.version != package.version ? "upgraded"
                                                          : "changed";
        w.files = presentFiles(package.files);
        w.synced.count = w.files.size();
        work.push_back(std::move(w));
    }

    // What dpkg no longer has: a package labelled by an earlier run, or one
    // dpkg itself knows as removed. A type-1 package dpkg never had (labelled
    // by hand) is not the sync's to drop.
    std::vector<std::string> gone;
    for (const auto& [name, r] : recorded) {
        if (r.type != protocol::kPackageTypePackage || db.installed.count(name) || db.inProgress.count(name)) continue;
        if (before.count(name) || db.removed.count(name)) gone.push_back(name);
    }
    for (auto s = after.begin(); s != after.end();) {
        const bool forget = !db.installed.count(s->first) && !db.inProgress.count(s->first) &&
                            (!recorded.count(s->first) || recorded.at(s->first).files == 0);
        s = forget ? after.erase(s) : std::next(s);
    }

    if (options.dryRun) {
        for (const Work& w : work) {
            say("would label " + std::to_string(w.files.size()) + " files of " + printable(w.name) + " " +
                printable(w.synced.version) + " (" + w.reason + ")");
            labelled.push_back(
                {{"name", w.name}, {"version", w.synced.version}, {"count", w.files.size()}, {"reason", w.reason}});
        }
        for (const std::string& name : gone) {
            say("would drop the files of " + printable(name));
            dropped.push_back({{"name", name}});
        }
    } else {
        std::vector<std::string> toRestore;
        std::map<std::string, const Work*> ownerOf;
        std::vector<const Work*> done;
        for (Work& w : work) {
            const std::string problem = recordFiles(admin, w.name, w.files);
            if (!problem.empty()) {
                fail(w.name, problem);
                continue;
            }
            done.push_back(&w);
            if (options.noRestore) continue;
            for (const std::string& f : w.files) {
                toRestore.push_back(f);
                ownerOf[f] = &w;
            }
        }
        std::map<const Work*, std::vector<std::pair<std::string, std::string>>> notRestored;
        for (auto& [path, problem] : restoreLabels(admin, toRestore))
            notRestored[ownerOf[path]].emplace_back(path, problem);
        for (const Work* w : done) {
            auto bad = notRestored.find(w);
            if (bad != notRestored.end()) {
                fail(w->name, std::to_string(bad->second.size()) + " labels could not be restored, " +
                                  printable(bad->second.front().first) + " first: " + bad->second.front().second);
                continue;
            }
            after[w->name] = w->synced;
            say("labelled " + std::to_string(w->files.size()) + " files of " + printable(w->name) + " " +
                printable(w->synced.version) + " (" + w->reason + ")");
            labelled.push_back(
                {{"name", w->name}, {"version", w->synced.version}, {"count", w->files.size()}, {"reason", w->reason}});
        }
        for (const std::string& name : gone) {
            std::vector<std::string> none;
            const std::string problem = recordFiles(admin, name, none);
            if (!problem.empty()) {
                fail(name, problem, false);
                continue;
            }
            after.erase(name);
            say("dropped the files of " + printable(name));
            dropped.push_back({{"name", name}});
        }
        if (!(after == before) || diversionsBefore != db.diversionsStamp)
            saveSyncState(options.state, after, db.diversionsStamp);
    }

    if (tool.out.json)
        tool.out.document({{"dry_run", options.dryRun},
                           {"labelled", labelled},
                           {"dropped", dropped},
                           {"failed", failed},
                           {"unchanged", unchanged}});
    if (!failed.empty())
        throw Failure(kRefused, "sync-packages: " + std::to_string(failed.size()) + " packages failed");
}

}  // namespace

void addSyncPackagesCommand(CLI::App& app, Tool& tool) {
    auto options = std::make_shared<Options>();
    CLI::App* sync =
        app.add_subcommand("sync-packages", "label the packages dpkg installed, drop those it removed (root)");
    sync->add_flag("-n,--dry-run", options->dryRun, "print what would be done; change nothing");
    sync->add_flag("--no-restore", options->noRestore, "record the files only; write no label onto them");
    sync->add_flag("--all", options->all, "label every package dpkg has, whatever the last run did");
    sync->add_option("--admindir", options->admindir, "dpkg's database directory")->capture_default_str();
    sync->add_option("--state", options->state, "what the last run did, to notice changes")->capture_default_str();
    tool.on(sync, [&tool, options] { syncPackages(tool, *options); });
}

}  // namespace zorvtool
