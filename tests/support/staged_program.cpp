#include "staged_program.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "as_user.h"
#include "emulator.h"
#include "scratch_dir.h"

extern char** environ;

namespace zorvtest {
namespace {

namespace fs = std::filesystem;

// The folder of the staged copies, which every user may enter; removed by the process that made it, not a child.
struct StagingFolder {
    StagingFolder() : path_((fs::temp_directory_path() / "zorv-staged-XXXXXX").string()) {
        if (::mkdtemp(path_.data()) == nullptr) throw std::runtime_error("cannot make a folder in " + path_);
        ::chmod(path_.c_str(), 0755);
        const char* libraries = ::getenv("LD_LIBRARY_PATH");
        variables_.push_back("LD_LIBRARY_PATH=" + path_ + (libraries ? std::string(":") + libraries : ""));
        try {
            stageSuppressions();
        } catch (...) {
            fs::remove_all(path_);
            throw;
        }
    }
    ~StagingFolder() {
        std::error_code ignored;
        if (::getpid() == owner_) fs::remove_all(path_, ignored);
    }

    // Copies `from` in as `name`, unless the same file is there already.
    std::string stage(const std::string& from, const std::string& name) {
        const std::string to = path_ + "/" + name;
        if (fs::exists(to)) {
            if (slurp(to) != slurp(from)) throw std::runtime_error("another " + name + " is staged already");
            return to;
        }
        fs::copy_file(from, to);
        fs::permissions(to, fs::perms(0755));
        return to;
    }

    // Stages `program` and the libraries ldd finds for it outside the system's folders.
    std::string stageWithLibraries(const std::string& program) {
        std::unique_ptr<FILE, int (*)(FILE*)> ldd(::popen((librariesShellCommand(program) + " 2>&1").c_str(), "r"),
                                                  ::pclose);
        if (!ldd) throw std::runtime_error("cannot run ldd");
        for (char text[4096]; ::fgets(text, sizeof text, ldd.get()) != nullptr;) {
            std::istringstream line(text);  // "\tNAME => PATH (ADDRESS)" or "\tNAME => not found"
            std::string name, arrow, path;
            if (!(line >> name >> arrow >> path) || arrow != "=>") continue;
            if (path[0] != '/') throw std::runtime_error(program + " needs " + name + ", which ldd does not find");
            const std::string sysroot = ::getenv("ZORV_TEST_SYSROOT") ? ::getenv("ZORV_TEST_SYSROOT") : "";
            const bool system = path.rfind("/lib", 0) == 0 || path.rfind("/usr/lib", 0) == 0 ||
                                (!sysroot.empty() && path.rfind(sysroot + "/", 0) == 0);
            if (!system) stage(path, name);
        }
        if (::pclose(ldd.release()) != 0) throw std::runtime_error("ldd cannot list the libraries of " + program);
        return stage(program, fs::path(program).filename());
    }

    std::string path_;
    pid_t owner_ = ::getpid();
    std::vector<std::string> variables_;
    std::map<std::pair<uid_t, std::string>, std::string> staged_;

    // A sanitizer dies when it cannot read the suppression file its options name (in the source tree).
    void stageSuppressions() {
        const std::string key = "suppressions=";
        for (char** e = environ; *e != nullptr; ++e) {
            std::string variable = *e;
            const size_t equals = variable.find('=');
            if (equals < 11 || variable.compare(equals - 11, 11, "SAN_OPTIONS") != 0) continue;
            const size_t at = variable.find(key, equals);
            if (at == std::string::npos || std::string("=: ").find(variable[at - 1]) == std::string::npos) continue;
            const size_t from = at + key.size(), to = std::min(variable.find_first_of(": ", from), variable.size());
            const std::string copy = stage(variable.substr(from, to - from), variable.substr(0, equals) + ".supp");
            variables_.push_back(variable.replace(from, to - from, copy));
        }
    }
};

std::unique_ptr<StagingFolder> folder;

}  // namespace

std::string stagedFor(uid_t uid, const std::string& program, std::string* why) {
    try {
        if (!folder) folder = std::make_unique<StagingFolder>();
        std::string& copy = folder->staged_[{uid, program}];
        if (copy.empty()) {
            const std::string staged = folder->stageWithLibraries(program);
            const auto runs = [&] { return std::string(::access(staged.c_str(), X_OK) == 0 ? "yes" : "no"); };
            if (asUser(uid, {}, runs) != "yes")
                throw std::runtime_error("uid " + std::to_string(uid) + " cannot run " + staged +
                                         ": the temporary directory must be open to every user");
            copy = staged;
        }
        return copy;
    } catch (const std::exception& e) {
        if (folder) folder->staged_.erase({uid, program});
        if (why) *why = std::string("cannot stage ") + program + " for another user: " + e.what();
        return "";
    }
}

std::string stagedCopy(const std::string& from) {
    if (!folder) folder = std::make_unique<StagingFolder>();
    return folder->stage(from, fs::path(from).filename());
}

const std::vector<std::string>& stagedVariables() {
    static const std::vector<std::string> none;
    return folder ? folder->variables_ : none;
}

}  // namespace zorvtest
