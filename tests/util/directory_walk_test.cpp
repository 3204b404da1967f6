// Directory walks and glob searches, compared with find(1) and the shell.
#include <zorv/labelmgr.hpp>

#include "util_support.h"
#include "util/directory_walk_internal.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <iostream>

namespace {

using zorvtest::commandLines;
using zorvtest::ScratchDir;
using zorvtest::shellQuote;

// A tree with a link to a directory, a dangling link, a fifo and an unreadable directory holding a file.
void buildTree(const ScratchDir& dir) {
    for (const char* f : {"top.txt", "a/one.txt", "a/.hidden", "a/b/two.log", "a/b/c/three.txt",
                          "name with space/x.txt", "locked/secret.txt"})
        dir.file(f);
    dir.dir("empty");
    dir.link(dir / "a", "link-to-a");
    dir.link("missing-target", "dangling");
    ::mkfifo((dir / "a/fifo").c_str(), 0644);
    ::chmod((dir / "locked").c_str(), 0);
    ::chmod(dir.path().c_str(), 0755);
}

// Walked in a child without root's powers, so that the unreadable directory cannot be read; its exit is the verdict.
TEST(TraverseDirectory, ListsWhatFindListsInPreOrder) {
    ScratchDir dir;
    buildTree(dir);
    EXPECT_EXIT(
        {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
            zorvtest::LogCapture log;
            std::vector<std::string> walked;
            const int rc = traverseDirectory(dir.path() + "/", walked);  // trailing '/' dropped
            const bool logged = log.contains("] Failed to open directory: " + dir / "locked" + ", error: Permission");
            auto found = commandLines("find " + shellQuote(dir.path()) + " 2>/dev/null; true");
            std::set<std::string> seen;  // every entry comes after the directory holding it
            bool preOrder = !walked.empty() && walked[0] == dir.path();
            for (const auto& p : walked) {
                preOrder &= p == dir.path() || seen.count(std::filesystem::path(p).parent_path().string()) > 0;
                seen.insert(p);
            }
            for (const auto& p : walked) std::cerr << "walked " << p << "\n";  // shown when the test fails
            for (const auto& p : found) std::cerr << "found  " << p << "\n";
            std::sort(walked.begin(), walked.end());
            std::sort(found.begin(), found.end());
            ::_exit(rc == 0 && preOrder && walked == found && seen.count(dir / "locked") && logged ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    ::chmod((dir / "locked").c_str(), 0755);
}

// A missing directory is listed, logged and fails; without entry types, directories are entered and links not. The walk
// holds one open directory whatever the depth: a chain deeper than the open-file limit comes out whole.
TEST(TraverseDirectory, MissingDirectoriesUnknownEntryTypesAndChainsDeeperThanTheOpenFileLimit) {
    ScratchDir dir;
    zorvtest::LogCapture log;
    std::vector<std::string> out{"kept"};
    const std::string gone = dir / "nope";
    EXPECT_EQ(traverseDirectory(gone + "/", out), -1);
    EXPECT_EQ(out, (std::vector<std::string>{"kept", gone}));
    EXPECT_TRUE(log.contains("] Directory does not exist: " + gone + ", error: No such file"));
    dir.link(dir.dir("sub"), "link");
    dir.file("file");
    const int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    const std::tuple<unsigned char, const char*, bool> cases[] = {
        {DT_UNKNOWN, "sub", true}, {DT_UNKNOWN, "file", false}, {DT_UNKNOWN, "link", false},
        {DT_UNKNOWN, "gone", false}, {DT_LNK, "sub", false}};
    for (const auto& [type, name, isDir] : cases) EXPECT_EQ(zorv::detail::isSubdirectoryEntry(fd, name, type), isDir) << name;
    ::close(fd);

    const ScratchDir deep;
    int at = ::open(deep.path().c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 2000 && at >= 0; ++i) {
        const int next = ::mkdirat(at, "d", 0755) == 0 ? ::openat(at, "d", O_RDONLY | O_DIRECTORY) : -1;
        ::close(at);
        at = next;
    }
    ASSERT_GE(at, 0);
    ::close(::openat(at, "f", O_CREAT | O_WRONLY, 0644));
    ::close(at);
    const rlimit limit{1024, 1024};
    EXPECT_EXIT(
        {
            std::vector<std::string> out;
            const bool limited = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
            const int rc = traverseDirectory(deep.path(), out);
            const bool whole = out.size() == 2002 && out.back().size() == deep.path().size() + 4002;
            ::_exit(limited && rc == 0 && whole ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(SearchFilesByPattern, AgreesWithTheShellIncludingHome) {
    ScratchDir dir;
    buildTree(dir);
    ::chmod((dir / "locked").c_str(), 0755);
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", dir.path().c_str(), 1);
    for (const std::string& pattern :
         std::vector<std::string>{"~/a/*", "~/*/*.txt", "~/[at]*", "~/name*/?.txt", "~", dir.path() + "/*/*"}) {
        const auto expected = commandLines("LC_ALL=C bash -c " + shellQuote("shopt -s nullglob; for f in " + pattern +
                                                                           "; do printf '%s\\n' \"$f\"; done"));
        ASSERT_FALSE(expected.empty()) << pattern;
        EXPECT_EQ(searchFilesByPattern(pattern), expected) << pattern;
    }
    oldHome ? ::setenv("HOME", savedHome.c_str(), 1) : ::unsetenv("HOME");

    zorvtest::LogCapture log;
    EXPECT_TRUE(searchFilesByPattern(dir / "*.none").empty());
    EXPECT_TRUE(log.contains("[searchFilesByPattern:") && log.contains("] No matches found."));
}

}  // namespace
