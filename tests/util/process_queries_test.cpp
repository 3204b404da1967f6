#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "util_support.h"
#include "util/file_reading.h"
#include "util/process_queries.h"
#include "util/sanitizer_build.h"

namespace {

using zorvtest::commandLines;

TEST(FileHelpers, RoundTripInPlaceAndRefuseWhatIsNotARegularFile) {
    zorvtest::ScratchDir dir;
    std::string bytes(3 * 1024 * 1024 + 7, '\r');
    for (size_t i = 0; i < bytes.size(); i += 3) bytes[i] = static_cast<char>(i);  // NULs and line ends too
    const std::string path = dir / "out", missing = dir / "no-such-dir/file";
    zorvtest::LogCapture log;
    ASSERT_TRUE(writeFile(path, bytes));
    EXPECT_EQ(readFile(path), bytes);
    struct stat before, after;
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    ASSERT_TRUE(writeFile(path, ""));
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, 0);
    EXPECT_EQ(before.st_ino, after.st_ino);  // rewritten in place: the file keeps its label
    // /proc files report size 0 and must still come whole.
    EXPECT_EQ(readFile("/proc/version"), commandLines("cat /proc/version").at(0) + "\n");
    EXPECT_EQ(readFile(missing), "");
    EXPECT_FALSE(writeFile(missing, "x"));
    EXPECT_EQ(log.matching(missing).size(), 2u);  // one error line each
    // What is not a regular file is refused at once, one error line a call: a FIFO used to block, /dev/zero to grow.
    const std::string fifo = dir / "fifo", big = dir / "big";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(std::ofstream(big) && ::truncate(big.c_str(), zorv::detail::kMaxReadSize + 1) == 0);
    for (const auto& [file, why] : std::vector<std::pair<std::string, std::string>>{
             {fifo, "Not a regular file"}, {"/dev/zero", "Not a regular file"}, {dir.path(), "Not a regular file"},
             {big, "File larger than"}}) {
        EXPECT_EXIT(
            {
                ::alarm(10);
#if !defined(ZORV_ADDRESS_SANITIZER)
                rlimit limit;
                limit.rlim_cur = limit.rlim_max = rlim_t{2} << 30;
                ::setrlimit(RLIMIT_AS, &limit);
#endif
                zorvtest::LogCapture log;
                const bool refused = readFile(file).empty() && parseConfig(file).empty() && readConfig(file).empty();
                ::_exit(refused && log.matching(why).size() == 3 && log.size() == 3 ? 0 : 1);
            },
            testing::ExitedWithCode(0), "") << file;
    }
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full";
    for (size_t size : {size_t(1), size_t(1) << 20}) {  // a refused write is a failure, however small
        log.clear();
        EXPECT_FALSE(writeFile("/dev/full", std::string(size, 'x'))) << size;
        EXPECT_TRUE(log.contains("] Unable to write file, /dev/full, ")) << size;
    }
}

TEST(KernelCmdline, CutsAtEverySingleBlankLikeTheRealTools) {
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(parseKernelCmdlineText("BOOT_IMAGE=/vmlinuz root=UUID=1 ro  x=\"1 2\" "),
              (Pairs{{"BOOT_IMAGE", "/vmlinuz"}, {"root", "UUID=1"}, {"ro", ""}, {"", ""}, {"x", "\"1"}, {"2\"", ""}}));
    Pairs expected;
    for (const auto& row :
         commandLines("head -n1 /proc/cmdline | sed 's/ $//' | tr ' ' '\\n' | sed '/=/!s/$/=/; s/=/\\t/'"))
        expected.emplace_back(row.substr(0, row.find('\t')), row.substr(row.find('\t') + 1));
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(parseKernelCmdline(), expected);
}

// The command name is one field whatever it holds; the parents and the executable of this process match /proc.
TEST(ProcessQueries, ParentsAndExecutableOfThisProcess) {
    EXPECT_EQ(parentPidFromStat("1234 (my prog) S 77 1234\n"), 77);
    EXPECT_EQ(parentPidFromStat("1234 (a) S 99) S 42 1\n"), 42);  // a name that mimics fields
    EXPECT_EQ(parentPidFromStat("1234 (x S 5 6\n"), -1);          // never closed
    auto parentFromProc = [](int pid) {  // after the last ')' come the state and the parent
        return std::stoi(commandLines("sed 's/.*) . //; s/ .*//' /proc/" + std::to_string(pid) + "/stat").at(0));
    };
    std::vector<int> expected;
    int last = ::getpid(), parent;
    for (; (parent = parentFromProc(last)) > 1; last = parent) expected.push_back(parent);
    if (parent == 0) expected.push_back(0);  // a parent outside our pid namespace
    zorvtest::LogCapture log;
    EXPECT_EQ(getAllParent(::getpid()), expected);
    EXPECT_EQ(log.size(), parent == 1 ? 1u : 0u);
    EXPECT_EQ(log.contains("] current pid " + std::to_string(last) + "."), parent == 1);
    EXPECT_TRUE(getAllParent(1).empty() && getAllParent(0).empty());
    EXPECT_EQ(getParentPid(0), -1);
    auto executables = findProcessExeFile();
    const auto& pids = executables[std::filesystem::read_symlink("/proc/self/exe").string()];
    EXPECT_NE(std::find(pids.begin(), pids.end(), ::getpid()), pids.end());
    EXPECT_EQ(executables.count(""), 0u);
}

// Only the owner's execute bit counts, without PATH nothing is found; output comes as lines, long ones in pieces; a
// failed or killed command gives nothing.
TEST(Commands, FoundByTheOwnerExecuteBitAndRunToTheirLines) {
    zorvtest::ScratchDir dir;
    ASSERT_EQ(::chmod(dir.file("owner-only").c_str(), 0100) | ::chmod(dir.file("others-only").c_str(), 0655), 0);
    const std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
    ::setenv("PATH", ("/nonexistent:" + dir.path()).c_str(), 1);
    EXPECT_TRUE(commandExists("owner-only"));
    EXPECT_FALSE(commandExists("others-only"));
    ::unsetenv("PATH");
    EXPECT_FALSE(commandExists("sh"));
    ::setenv("PATH", savedPath.c_str(), 1);
    zorvtest::LogCapture log;
    EXPECT_EQ(executeCommand("printf 'one\\r\\n\\nlast'; echo err >&2"),
              (std::vector<std::string>{"one\r", "", "last"}));
    EXPECT_EQ(executeCommand("head -c 3000 /dev/zero | tr '\\0' x; echo"),
              (std::vector<std::string>{std::string(1023, 'x'), std::string(1023, 'x'), std::string(954, 'x')}));
    EXPECT_EQ(log.size(), 0u);
    for (auto [command, why] : std::vector<std::pair<std::string, std::string>>{
             {"echo partial; exit 2", "Command failed [2]: "}, {"zorv-no-such-command", "Command failed [127]: "},
             {"echo partial; kill -KILL $$", "Command killed by signal 9: "}, {"", "command is empty."}}) {
        log.clear();
        EXPECT_TRUE(executeCommand(command).empty()) << command;
        EXPECT_TRUE(log.contains("] " + why + command)) << command;
    }
}

}  // namespace
