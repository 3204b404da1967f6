#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log_expect.h"
#include "scratch_dir.h"
#include "util/process_queries.h"

namespace {

using zorvtest::hasOneLine;
using zorvtest::kErrorPriority;
using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(FileHelpers, RoundTripEveryByteInPlace) {
    zorvtest::ScratchDir dir;
    std::string bytes(3 * 1024 * 1024 + 7, '\r');
    for (size_t i = 0; i < bytes.size(); i += 3) bytes[i] = static_cast<char>(i);  // NULs and line ends too
    const std::string path = dir / "out";
    zorvtest::LogCapture log;
    ASSERT_TRUE(writeFile(path, bytes));
    EXPECT_EQ(readFile(path), bytes);
    struct stat before, after;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ASSERT_TRUE(writeFile(path, ""));
    EXPECT_EQ(readFile(path), "");
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);  // rewritten, not replaced
    EXPECT_EQ(readFile(dir.path()), "");     // a directory opens but yields nothing
    EXPECT_EQ(log.size(), 0u);

    // /proc files report size 0 and must still come whole.
    const std::string stat = readFile("/proc/self/stat");
    EXPECT_EQ(stat.rfind(std::to_string(::getpid()) + " (", 0), 0u);
    EXPECT_EQ(stat.back(), '\n');
}

TEST(FileHelpers, OpenFailuresGiveTheirErrorLines) {
    zorvtest::ScratchDir dir;
    const std::string path = dir / "no-such-dir/file";
    zorvtest::LogCapture log;
    EXPECT_EQ(readFile(path), "");
    EXPECT_TRUE(hasOneLine(log, kErrorPriority, "readFile", "Unable to open file, " + path));
    log.clear();
    EXPECT_FALSE(writeFile(path, "x"));
    EXPECT_TRUE(hasOneLine(log, kErrorPriority, "writeFile", "Unable to open file for writing, " + path));
}

// A write the device refuses is a failure, however small.
TEST(FileHelpers, WriteToAFullDeviceIsAFailure) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
    for (size_t size : {size_t(1), size_t(1) << 20}) {
        zorvtest::LogCapture log;
        EXPECT_FALSE(writeFile("/dev/full", std::string(size, 'x'))) << size;
        EXPECT_TRUE(hasOneLine(log, kErrorPriority, "writeFile", "Unable to write file, /dev/full, "));
    }
}

// Everything a shell pipeline prints, to ask the real tools.
std::string shellOutput(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        for (int c; (c = std::fgetc(pipe)) != EOF;) out.push_back(static_cast<char>(c));
        ::pclose(pipe);
    }
    return out;
}

// The parent id read the way the kernel lays it out: after the last ')'.
int parentFromProc(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    char state;
    int parent = -1;
    size_t close = stat.rfind(')');
    if (close == std::string::npos || std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2)
        return -1;
    return parent;
}

TEST(KernelCmdline, CutsAtEverySingleBlankLikeTheRealTools) {
    EXPECT_EQ(parseKernelCmdlineText("BOOT_IMAGE=/vmlinuz root=UUID=1 ro  x=\"1 2\" "),
              (Pairs{{"BOOT_IMAGE", "/vmlinuz"}, {"root", "UUID=1"}, {"ro", ""}, {"", ""}, {"x", "\"1"}, {"2\"", ""}}));

    std::istringstream rows(shellOutput(
        "head -n1 /proc/cmdline | sed 's/ $//' | tr ' ' '\\n' | "
        "awk '{ i = index($0, \"=\"); if (i) print substr($0, 1, i - 1) \"\\t\" substr($0, i + 1); "
        "else print $0 \"\\t\" }'"));
    Pairs expected;
    for (std::string key, value; std::getline(rows, key, '\t') && std::getline(rows, value);)
        expected.emplace_back(key, value);
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(parseKernelCmdline(), expected);
}

TEST(Parents, TheCommandNameIsOneFieldWhateverItHolds) {
    EXPECT_EQ(parentPidFromStat("1234 (my prog) S 77 1234\n"), 77);
    EXPECT_EQ(parentPidFromStat("1234 (a) S 99) S 42 1\n"), 42);  // a name that mimics fields
    EXPECT_EQ(parentPidFromStat("1234 (x) S abc\n"), -1);
    EXPECT_EQ(parentPidFromStat("1234 (x S 5 6\n"), -1);  // never closed
    EXPECT_EQ(parentPidFromStat(""), -1);
    EXPECT_THROW(parentPidFromStat("1 (x) S 99999999999\n"), std::out_of_range);
}

TEST(Parents, ChainOfThisProcessMatchesProc) {
    std::vector<int> expected;
    int last = ::getpid(), parent;
    for (; (parent = parentFromProc(last)) > 1; last = parent) expected.push_back(parent);
    if (parent == 0) expected.push_back(0);  // a parent outside our pid namespace
    zorvtest::LogCapture log;
    EXPECT_EQ(getAllParent(::getpid()), expected);
    if (parent == 1) {  // the ordinary end below init is still reported
        EXPECT_TRUE(hasOneLine(log, kErrorPriority, "getAllParent", "current pid " + std::to_string(last) + "."));
    }

    log.clear();
    EXPECT_TRUE(getAllParent(1).empty());
    EXPECT_TRUE(getAllParent(0).empty());
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(getParentPid(0), -1);
    EXPECT_TRUE(hasOneLine(log, kErrorPriority, "readFile", "Unable to open file, /proc/0/stat"));
}

TEST(ProcessExeFile, FindsThisProcess) {
    auto executables = findProcessExeFile();
    const auto& pids = executables[std::filesystem::read_symlink("/proc/self/exe").string()];
    EXPECT_NE(std::find(pids.begin(), pids.end(), ::getpid()), pids.end());
    for (const auto& entry : executables) EXPECT_FALSE(entry.first.empty());
}

TEST(CommandExists, SearchesPathForTheOwnerExecuteBit) {
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    zorvtest::ScratchDir dir;
    for (auto file : {std::make_pair("tool", 0755), std::make_pair("owner-only", 0100),
                      std::make_pair("others-only", 0655)})
        ASSERT_EQ(::chmod(dir.file(file.first, "").c_str(), file.second), 0);
    ASSERT_EQ(::mkdir((dir / "subdir").c_str(), 0755), 0);

    ::setenv("PATH", ("/nonexistent:" + dir.path()).c_str(), 1);
    const bool found[] = {commandExists("tool"), commandExists("owner-only"), commandExists("subdir"),
                          commandExists("others-only"), commandExists("missing")};
    ::setenv("PATH", ":", 1);  // an empty element is the root directory
    const bool fromRoot = commandExists(dir.path().substr(1) + "/tool");
    ::unsetenv("PATH");
    const bool withoutPath = commandExists("sh");
    ::setenv("PATH", savedPath.c_str(), 1);

    EXPECT_EQ(std::vector<bool>(found, found + 5), (std::vector<bool>{true, true, true, false, false}));
    EXPECT_TRUE(fromRoot);
    EXPECT_FALSE(withoutPath);
}

TEST(ExecuteCommand, LinesAsTheShellPrintsThem) {
    zorvtest::LogCapture log;
    EXPECT_EQ(executeCommand("printf 'one\\r\\n\\nlast'; echo err >&2"), (std::vector<std::string>{"one\r", "", "last"}));
    const auto numbers = executeCommand("seq 1 5000");
    ASSERT_EQ(numbers.size(), 5000u);
    EXPECT_EQ(numbers.back(), "5000");
    const auto pieces = executeCommand("head -c 3000 /dev/zero | tr '\\0' x; echo");
    EXPECT_EQ(pieces, (std::vector<std::string>{std::string(1023, 'x'), std::string(1023, 'x'), std::string(954, 'x')}));
    EXPECT_EQ(log.size(), 0u);
}

TEST(ExecuteCommand, FailuresGiveNothingAndSayWhy) {
    const std::pair<std::string, std::string> failures[] = {
        {"echo partial; exit 2", "Command failed [2]: echo partial; exit 2"},
        {"zorv-no-such-command", "Command failed [127]: zorv-no-such-command"},
        {"echo partial; kill -KILL $$", "Command killed by signal 9: echo partial; kill -KILL $$"},
        {"", "command is empty."},
    };
    for (const auto& f : failures) {
        zorvtest::LogCapture log;
        EXPECT_TRUE(executeCommand(f.first).empty()) << f.first;
        EXPECT_TRUE(hasOneLine(log, kErrorPriority, "executeCommand", f.second));
    }
}

}  // namespace
