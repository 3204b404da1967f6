#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "log_expect.h"
#include "scratch_dir.h"
#include "util/process_queries.h"

namespace {

using zorvtest::kErrorPriority;
using Pairs = std::vector<std::pair<std::string, std::string>>;

// Runs a shell pipeline and returns its whole standard output; the tests use
// it to ask the real tools.
std::string shellOutput(const std::string& command, int* status = nullptr) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    if (!pipe) return std::string();
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
    int rc = ::pclose(pipe.release());
    if (status) *status = rc;
    return out;
}

// The parent id as the test reads it: the field after the state, which
// follows the last ')' of the stat line.
int parentFromProc(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    char state;
    int parent;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2) return -1;
    return parent;
}

// Restores an environment variable when the test ends.
class SavedEnv {
public:
    explicit SavedEnv(const char* name) : name_(name) {
        const char* value = std::getenv(name);
        if (value) saved_.reset(new std::string(value));
    }
    ~SavedEnv() {
        if (saved_)
            ::setenv(name_, saved_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::unique_ptr<std::string> saved_;
};

TEST(KernelCmdline, CutsAtEverySingleBlank) {
    EXPECT_EQ(parseKernelCmdlineText("BOOT_IMAGE=/vmlinuz root=UUID=1 ro quiet"),
              (Pairs{{"BOOT_IMAGE", "/vmlinuz"}, {"root", "UUID=1"}, {"ro", ""}, {"quiet", ""}}));
    EXPECT_EQ(parseKernelCmdlineText(" a  b= "), (Pairs{{"", ""}, {"a", ""}, {"", ""}, {"b", ""}}));
    EXPECT_EQ(parseKernelCmdlineText("x=\"1 2\""), (Pairs{{"x", "\"1"}, {"2\"", ""}}));
    EXPECT_EQ(parseKernelCmdlineText("k=1 k=2"), (Pairs{{"k", "1"}, {"k", "2"}}));
    EXPECT_TRUE(parseKernelCmdlineText("").empty());
}

TEST(KernelCmdline, MatchesTheRealCommandLine) {
    // Words of the first line, split by tr and at the first '=' by awk.
    const std::string listing = shellOutput(
        "head -n1 /proc/cmdline | sed 's/ $//' | tr ' ' '\\n' | "
        "awk '{ i = index($0, \"=\"); if (i) print substr($0, 1, i - 1) \"\\t\" substr($0, i + 1); "
        "else print $0 \"\\t\" }'");
    ASSERT_FALSE(listing.empty());
    Pairs expected;
    size_t start = 0;
    for (size_t end; (end = listing.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string row = listing.substr(start, end - start);
        size_t tab = row.find('\t');
        expected.emplace_back(row.substr(0, tab), row.substr(tab + 1));
    }
    EXPECT_EQ(parseKernelCmdline(), expected);
}

TEST(ParentPid, CountsTheCommandNameAsOneField) {
    EXPECT_EQ(parentPidFromStat("1234 (my prog) S 77 1234 1234 0 -1\n"), 77);
    EXPECT_EQ(parentPidFromStat("1234 (a) S 88 1\n"), 88);
    // A name made to look like further fields is still one field.
    EXPECT_EQ(parentPidFromStat("1234 (a) S 99) S 42 1\n"), 42);
    EXPECT_EQ(parentPidFromStat("1234 ((x) (y)) R 43 1\n"), 43);
    EXPECT_EQ(parentPidFromStat("1234 (x) S 7abc\n"), 7);
    EXPECT_EQ(parentPidFromStat("1234 (x) S abc\n"), -1);
    EXPECT_EQ(parentPidFromStat("1234 (x) S\n"), -1);
    EXPECT_EQ(parentPidFromStat("1234 (x S 5 6\n"), -1);  // name never closed
    EXPECT_EQ(parentPidFromStat(""), -1);
    EXPECT_THROW(parentPidFromStat("1 (x) S 99999999999 1\n"), std::out_of_range);
}

TEST(ParentPid, ReadsProcAndReportsAMissingProcess) {
    EXPECT_EQ(getParentPid(::getpid()), ::getppid());
    const int pid = static_cast<int>(::fork());
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(0);
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);  // reaped: its entry is gone

    zorvtest::LogCapture log;
    EXPECT_EQ(getParentPid(pid), -1);
    EXPECT_TRUE(zorvtest::hasOneLine(log, kErrorPriority, "readFile",
                                     "Unable to open file, /proc/" + std::to_string(pid) + "/stat"));
}

TEST(AllParents, MatchesTheChainReadFromProc) {
    std::vector<int> expected;
    int last = ::getpid();
    for (int parent = parentFromProc(last); parent > 1; parent = parentFromProc(last)) {
        expected.push_back(parent);
        last = parent;
    }
    zorvtest::LogCapture log;
    EXPECT_EQ(getAllParent(::getpid()), expected);
    // The chain of a user process ends below init, and says where.
    EXPECT_TRUE(zorvtest::hasOneLine(log, kErrorPriority, "getAllParent", "current pid " + std::to_string(last) + "."));
}

TEST(AllParents, InitAndBelowHaveNoAncestors) {
    zorvtest::LogCapture log;
    EXPECT_TRUE(getAllParent(1).empty());
    EXPECT_TRUE(getAllParent(0).empty());
    EXPECT_TRUE(getAllParent(-4).empty());
    EXPECT_EQ(log.size(), 0u);
}

TEST(AllParents, KernelThreadChainEndsWithZeroWithoutALine) {
    // Visible only where /proc shows the kernel's threads (not in a pid namespace).
    int child = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        int pid = std::stoi(name);
        if (pid != 2 && parentFromProc(pid) == 2) {
            child = pid;
            break;
        }
    }
    if (parentFromProc(2) != 0 || child < 0) GTEST_SKIP() << "kernel threads not visible";
    zorvtest::LogCapture log;
    EXPECT_EQ(getAllParent(child), (std::vector<int>{2, 0}));
    EXPECT_EQ(log.size(), 0u);
}

TEST(ProcessExeFile, ListsThisProcessAndBothRunnersOfOneProgram) {
    const std::string sleep = std::filesystem::canonical("/bin/sleep");
    pid_t children[2];
    for (pid_t& child : children) {
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::execl(sleep.c_str(), "sleep", "30", static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    // Wait until both run the program (exec may not have happened yet).
    const std::string& sleepExe = sleep;
    for (int tries = 0; tries < 500; ++tries) {
        std::error_code ec0, ec1;
        auto a = std::filesystem::read_symlink("/proc/" + std::to_string(children[0]) + "/exe", ec0);
        auto b = std::filesystem::read_symlink("/proc/" + std::to_string(children[1]) + "/exe", ec1);
        if (!ec0 && !ec1 && a == sleepExe && b == sleepExe) break;
        ::usleep(10000);
    }

    auto executables = findProcessExeFile();
    for (pid_t child : children) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }

    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    ASSERT_TRUE(executables.count(self)) << self;
    const auto& selfPids = executables[self];
    EXPECT_NE(std::find(selfPids.begin(), selfPids.end(), ::getpid()), selfPids.end());

    ASSERT_TRUE(executables.count(sleepExe)) << sleepExe;
    const auto& sleepers = executables[sleepExe];
    for (pid_t child : children) EXPECT_NE(std::find(sleepers.begin(), sleepers.end(), child), sleepers.end());
    EXPECT_TRUE(std::is_sorted(sleepers.begin(), sleepers.end()));  // /proc lists pids in order

    // Kernel threads have no executable.
    if (parentFromProc(2) == 0) {
        for (const auto& entry : executables)
            EXPECT_EQ(std::find(entry.second.begin(), entry.second.end(), 2), entry.second.end()) << entry.first;
    }
}

TEST(CommandExists, SearchesPathForTheOwnerExecuteBit) {
    SavedEnv savedPath("PATH");
    zorvtest::ScratchDir dir;
    auto make = [&](const std::string& name, mode_t mode) {
        dir.file(name, "#!/bin/sh\n");
        ASSERT_EQ(::chmod((dir / name).c_str(), mode), 0);
    };
    make("tool", 0755);
    make("owner-only", 0100);
    make("group-only", 0654);
    ASSERT_EQ(::mkdir((dir / "subdir").c_str(), 0755), 0);

    ::unsetenv("PATH");
    EXPECT_FALSE(commandExists("sh"));

    ::setenv("PATH", ("/nonexistent::" + dir.path()).c_str(), 1);
    EXPECT_TRUE(commandExists("tool"));
    EXPECT_TRUE(commandExists("owner-only"));
    EXPECT_FALSE(commandExists("group-only"));
    EXPECT_TRUE(commandExists("subdir"));  // the kind of entry is not tested
    EXPECT_FALSE(commandExists("missing"));

    // An empty element stands for the root directory, not the current one.
    ::setenv("PATH", ":", 1);
    EXPECT_TRUE(commandExists(dir.path().substr(1) + "/tool"));
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    EXPECT_FALSE(commandExists("tool"));
    ASSERT_EQ(::chdir("/"), 0);

    // A trailing colon adds nothing.
    ::setenv("PATH", (dir.path() + ":").c_str(), 1);
    EXPECT_FALSE(commandExists(dir.path().substr(1) + "/tool"));
}

TEST(CommandExists, AgreesWithTheShell) {
    for (const char* name : {"sh", "ls", "cat", "zorv-no-such-command-here"}) {
        int status = 0;
        shellOutput(std::string("command -v ") + name + " >/dev/null", &status);
        EXPECT_EQ(commandExists(name), WIFEXITED(status) && WEXITSTATUS(status) == 0) << name;
    }
}

TEST(ExecuteCommand, ReturnsOutputLinesWithoutTheirLineFeeds) {
    zorvtest::LogCapture log;
    EXPECT_EQ(executeCommand("printf 'one\\ntwo\\n'"), (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(executeCommand("printf 'a\\r\\n\\nlast'"), (std::vector<std::string>{"a\r", "", "last"}));
    EXPECT_TRUE(executeCommand("true").empty());
    EXPECT_TRUE(executeCommand("echo to-stderr >&2").empty());

    const auto numbers = executeCommand("seq 1 5000");
    ASSERT_EQ(numbers.size(), 5000u);
    EXPECT_EQ(numbers.front(), "1");
    EXPECT_EQ(numbers.back(), "5000");
    EXPECT_EQ(log.size(), 0u);
}

TEST(ExecuteCommand, CutsLongLinesInto1023BytePieces) {
    const auto pieces = executeCommand("head -c 3000 /dev/zero | tr '\\0' x; echo; echo end");
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0], std::string(1023, 'x'));
    EXPECT_EQ(pieces[1], std::string(1023, 'x'));
    EXPECT_EQ(pieces[2], std::string(954, 'x'));
    EXPECT_EQ(pieces[3], "end");
}

TEST(ExecuteCommand, FailuresGiveNothingAndSayWhy) {
    struct Failure {
        std::string command, message;
    };
    const Failure failures[] = {
        {"echo partial; exit 2", "Command failed [2]: echo partial; exit 2"},
        {"zorv-no-such-command-here", "Command failed [127]: zorv-no-such-command-here"},
        {"echo partial; kill -KILL $$", "Command killed by signal 9: echo partial; kill -KILL $$"},
        {"kill -TERM $$", "Command killed by signal 15: kill -TERM $$"},
        {"", "command is empty."},
    };
    for (const Failure& f : failures) {
        zorvtest::LogCapture log;
        EXPECT_TRUE(executeCommand(f.command).empty()) << f.command;
        EXPECT_TRUE(zorvtest::hasOneLine(log, kErrorPriority, "executeCommand", f.message)) << f.command;
    }
}

// With SIGCHLD ignored the child is reaped by the kernel and pclose has no
// status; the lines read are still the answer.
TEST(ExecuteCommand, WithoutAnExitStatusTheOutputStands) {
    struct sigaction ignore = {}, previous;
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &previous), 0);
    zorvtest::LogCapture log;
    const auto lines = executeCommand("echo still-here");
    ::sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{"still-here"}));
    EXPECT_EQ(log.size(), 0u);
}

}  // namespace
