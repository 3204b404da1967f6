#include "dpkg_database.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>

#include "tool.h"
#include "util/file_descriptor.h"

extern char** environ;

namespace zorvtool {

namespace {

using zorv::detail::FileDescriptor;

// The states whose packages have their files in place and configured. A
// package that is only unpacked may still have its configuration files
// under their .dpkg-new names; it is labelled once dpkg has configured it.
bool isConfigured(const std::string& state) {
    return state == "installed" || state == "triggers-pending" || state == "triggers-awaiting";
}

bool isGone(const std::string& state) { return state == "config-files" || state == "not-installed"; }

// Runs dpkg-query and returns what it wrote on standard output; its
// standard error stays the tool's.
std::string runDpkgQuery(const std::string& admindir) {
    std::vector<std::string> args = {"dpkg-query", "--admindir=" + admindir, "-W",
                                     "-f=${binary:Package}\\t${Version}\\t${db:Status-Status}\\n"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw Failure(kRefused, std::string("cannot run dpkg-query: ") + std::strerror(errno));
    FileDescriptor readEnd(ends[0]), writeEnd(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, "dpkg-query", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (spawned != 0) throw Failure(kRefused, std::string("cannot run dpkg-query: ") + std::strerror(spawned));
    std::string out;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n > 0) out.append(buffer, size_t(n));
        if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw Failure(kRefused, "dpkg-query could not read the package database in " + printable(admindir));
    return out;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return out;
}

// The same, as views into `text`.
std::vector<std::string_view> splitViews(const std::string& text) {
    std::vector<std::string_view> out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) out.emplace_back(text.data() + at, end - at);
        at = end + 1;
    }
    return out;
}

std::string readFile(const std::string& path, struct stat* st) {
    std::string content;
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::fstat(fd.get(), st) != 0) return content;
    content.resize(size_t(st->st_size));
    size_t got = 0;
    while (got < content.size()) {
        ssize_t n = ::read(fd.get(), content.data() + got, content.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    content.resize(got);
    return content;
}

struct Diversion {
    std::string_view to, by;  // by ":" for a local diversion, which applies to every package
};

// The diversions file holds three lines per diversion: the path, where it
// is diverted to, and the package that diverts it.
std::map<std::string_view, Diversion> readDiversions(const std::string& admindir, std::deque<std::string>& text) {
    struct stat st;
    const std::vector<std::string_view> l = splitViews(text.emplace_back(readFile(admindir + "/diversions", &st)));
    std::map<std::string_view, Diversion> out;
    for (size_t i = 0; i + 2 < l.size(); i += 3) out[l[i]] = {l[i + 1], l[i + 2]};
    return out;
}

// FNV-1a: the paths of all lists are compared by this number, far cheaper
// than comparing 100,000 of them as text.
uint64_t pathHash(std::string_view s) {
    uint64_t h = 14695981039346656037ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

struct HashedList {
    std::vector<std::string_view> paths;
    std::vector<uint64_t> hashes;
    std::vector<bool> own;  // listed by this package alone, and here for the first time
};

// Marks in every list the paths that another list holds too, and the
// repeats of a path within one list, as not its own.
void markShared(std::vector<HashedList>& lists) {
    struct Entry {
        uint64_t hash;
        uint32_t list, index;
        bool operator<(const Entry& o) const {
            return hash != o.hash ? hash < o.hash : list != o.list ? list < o.list : index < o.index;
        }
    };
    size_t total = 0;
    for (HashedList& l : lists) {
        total += l.paths.size();
        l.own.assign(l.paths.size(), true);
    }
    std::vector<Entry> all;
    all.reserve(total);
    for (uint32_t i = 0; i < lists.size(); ++i)
        for (uint32_t k = 0; k < lists[i].paths.size(); ++k) all.push_back({lists[i].hashes[k], i, k});
    std::sort(all.begin(), all.end());
    auto path = [&](const Entry& e) { return lists[e.list].paths[e.index]; };
    for (size_t i = 0; i < all.size();) {
        size_t j = i + 1;
        while (j < all.size() && all[j].hash == all[i].hash) ++j;
        bool samePath = true;
        for (size_t a = i + 1; a < j && samePath; ++a) samePath = path(all[a]) == path(all[i]);
        if (j - i > 1 && samePath) {
            // One path: no one's when two lists hold it, else its first entry's.
            const bool shared = all[j - 1].list != all[i].list;
            for (size_t a = shared ? i : i + 1; a < j; ++a) lists[all[a].list].own[all[a].index] = false;
        } else if (j - i > 1) {
            // Two paths of one hash: each is compared with the others.
            for (size_t a = i; a < j; ++a) {
                for (size_t b = i; b < j; ++b) {
                    if (a == b || path(all[a]) != path(all[b])) continue;
                    if (all[a].list != all[b].list || b < a) {
                        lists[all[a].list].own[all[a].index] = false;
                        break;
                    }
                }
            }
        }
        i = j;
    }
}

std::string stampOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "none";
    return std::to_string(st.st_size) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

}  // namespace

DpkgDatabase readDpkgDatabase(const std::string& admindir) {
    DpkgDatabase db;
    for (const std::string& line : splitLines(runDpkgQuery(admindir))) {
        size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
        if (tab1 == std::string::npos || tab2 == std::string::npos) continue;
        DpkgPackage p;
        p.name = line.substr(0, tab1);
        p.version = line.substr(tab1 + 1, tab2 - tab1 - 1);
        const std::string state = line.substr(tab2 + 1);
        if (isGone(state)) {
            db.removed.insert(p.name);
            continue;
        }
        db.listed.push_back(p.name);
        if (!isConfigured(state)) {
            db.inProgress.insert(p.name);
            continue;
        }
        p.listStamp = stampOf(admindir + "/info/" + p.name + ".list");
        db.installed.emplace(p.name, std::move(p));
    }
    db.diversionsStamp = stampOf(admindir + "/diversions");
    return db;
}

void readDpkgFiles(DpkgDatabase& db, const std::string& admindir) {
    // Every package whose list is on disk counts for the paths that several list.
    std::vector<HashedList> lists;
    for (const std::string& name : db.listed) {
        struct stat st {};
        lists.push_back({splitViews(db.text.emplace_back(readFile(admindir + "/info/" + name + ".list", &st))), {}, {}});
    }

    const std::map<std::string_view, Diversion> diversions = readDiversions(admindir, db.text);
    std::set<uint64_t> diverted;
    for (const auto& [from, d] : diversions) diverted.insert(pathHash(from));
    for (size_t i = 0; i < lists.size(); ++i) {
        const std::string_view bare = std::string_view(db.listed[i]).substr(0, db.listed[i].find(':'));
        HashedList& l = lists[i];
        l.hashes.reserve(l.paths.size());
        for (std::string_view& f : l.paths) {
            if (f == "/.") f = "/";
            uint64_t h = pathHash(f);
            if (diverted.count(h)) {
                auto d = diversions.find(f);
                if (d != diversions.end() && d->second.by != bare) h = pathHash(f = d->second.to);
            }
            l.hashes.push_back(h);
        }
    }
    markShared(lists);
    for (size_t i = 0; i < lists.size(); ++i) {
        auto p = db.installed.find(db.listed[i]);
        if (p == db.installed.end()) continue;
        const HashedList& l = lists[i];
        uint64_t digest = 14695981039346656037ull;
        for (size_t k = 0; k < l.paths.size(); ++k) {
            if (!l.own[k]) continue;
            p->second.files.push_back(l.paths[k]);
            digest = (digest ^ l.hashes[k]) * 1099511628211ull;
        }
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(digest));
        p->second.digest = hex;
    }
}


}  // namespace zorvtool
