// Directory walks and glob searches, compared with find(1) and the shell.
#include <zorv/labelmgr.hpp>

#include "log_capture.h"
#include "test_tree.h"
#include "util/directory_walk_internal.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <map>

namespace {

using utiltest::asMultiset;
using utiltest::commandLines;
using utiltest::ScratchDir;
using utiltest::shellQuote;

constexpr uid_t kNobody = 65534;

// A tree with a link to a directory (not to be entered), a dangling link, a
// fifo and an unreadable directory that still holds a file.
void buildTree(const ScratchDir& dir) {
    dir.file("top.txt");
    dir.file("a/one.txt");
    dir.file("a/.hidden");
    dir.file("a/b/two.log");
    dir.file("a/b/c/three.txt");
    dir.file("name with space/x.txt");
    dir.dir("empty");
    dir.link(dir / "a", "link-to-a");
    dir.link("missing-target", "dangling");
    ::mkfifo((dir / "a/fifo").c_str(), 0644);
    dir.file("locked/secret.txt");
    ::chmod((dir / "locked").c_str(), 0);
    ::chmod(dir.path().c_str(), 0755);
}

struct WalkResult {
    int rc = -99;
    std::vector<std::string> walked;
    std::vector<std::string> found;
};

// Runs the walk and find(1) in a child without root's powers, so that the
// unreadable directory really cannot be read; the child sends both listings.
WalkResult walkAsUnprivileged(const std::string& argument, const std::string& root) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (::geteuid() == 0 && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(3);
        std::vector<std::string> out;
        const int rc = traverseDirectory(argument, out);
        std::string message = "R" + std::to_string(rc) + "\n";
        for (const auto& p : out) message += "T" + p + "\n";
        for (const auto& p : commandLines("find " + shellQuote(root) + " 2>/dev/null")) message += "F" + p + "\n";
        for (std::size_t done = 0; done < message.size();) {
            const ssize_t n = ::write(fds[1], message.data() + done, message.size() - done);
            if (n <= 0) ::_exit(4);
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string all;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) all.append(buffer, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    WalkResult result;
    std::istringstream lines(all);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        const std::string rest = line.substr(1);
        if (line[0] == 'R') result.rc = std::stoi(rest);
        if (line[0] == 'T') result.walked.push_back(rest);
        if (line[0] == 'F') result.found.push_back(rest);
    }
    return result;
}

TEST(TraverseDirectory, ListsWhatFindListsWithoutFollowingLinks) {
    ScratchDir dir;
    buildTree(dir);
    const WalkResult result = walkAsUnprivileged(dir.path() + "/", dir.path());  // trailing '/' dropped
    ::chmod((dir / "locked").c_str(), 0755);
    EXPECT_EQ(result.rc, 0);
    ASSERT_FALSE(result.found.empty());
    EXPECT_EQ(asMultiset(result.walked), asMultiset(result.found));
    ASSERT_FALSE(result.walked.empty());
    EXPECT_EQ(result.walked.front(), dir.path());

    const std::multiset<std::string> walked = asMultiset(result.walked);
    EXPECT_EQ(walked.count(dir / "link-to-a"), 1u);
    EXPECT_EQ(walked.count(dir / "link-to-a/one.txt"), 0u);
    EXPECT_EQ(walked.count(dir / "dangling"), 1u);
    EXPECT_EQ(walked.count(dir / "locked"), 1u);
    EXPECT_EQ(walked.count(dir / "locked/secret.txt"), 0u);

    // Pre-order: every entry comes after the directory that holds it.
    std::map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < result.walked.size(); ++i) index[result.walked[i]] = i;
    for (std::size_t i = 1; i < result.walked.size(); ++i) {
        const std::string parent = std::filesystem::path(result.walked[i]).parent_path().string();
        ASSERT_TRUE(index.count(parent)) << result.walked[i];
        EXPECT_LT(index[parent], i) << result.walked[i];
    }
}

TEST(TraverseDirectory, MissingDirectoryIsListedLoggedAndFails) {
    ScratchDir dir;
    zorvtest::LogCapture log;
    std::vector<std::string> out{"kept"};
    const std::string missing = dir / "nope";
    EXPECT_EQ(traverseDirectory(missing + "/", out), -1);
    EXPECT_EQ(out, (std::vector<std::string>{"kept", missing}));
    auto exists = log.matching("[traverseDirectory:");
    ASSERT_EQ(exists.size(), 2u);
    EXPECT_NE(exists[0].message.find("] Directory does not exist: " + missing + ", error: No such file"),
              std::string::npos);
    EXPECT_NE(exists[1].message.find("] Failed to open directory: " + missing +
                                     ", error: No such file or directory (errno: 2)"),
              std::string::npos);
    EXPECT_EQ(exists[1].priority, 300);
}

// File systems that do not report entry types still get their directories
// entered; links are still not followed.
TEST(TraverseDirectory, UnknownEntryTypesAreLookedUp) {
    ScratchDir dir;
    dir.dir("sub");
    dir.file("file");
    dir.link(dir / "sub", "link");
    DIR* stream = ::opendir(dir.path().c_str());
    ASSERT_NE(stream, nullptr);
    struct dirent entry{};
    entry.d_type = DT_UNKNOWN;
    auto isDir = [&](const char* name) {
        std::strcpy(entry.d_name, name);
        return zorv::detail::isSubdirectoryEntry(stream, entry);
    };
    EXPECT_TRUE(isDir("sub"));
    EXPECT_FALSE(isDir("file"));
    EXPECT_FALSE(isDir("link"));
    EXPECT_FALSE(isDir("gone"));
    entry.d_type = DT_LNK;
    EXPECT_FALSE(isDir("sub"));
    ::closedir(stream);
}

// What bash's pathname expansion gives for `pattern` (unquoted), sorted bytewise.
std::vector<std::string> shellGlob(const std::string& home, const std::string& pattern) {
    return commandLines("HOME=" + shellQuote(home) + " LC_ALL=C bash -c " +
                        shellQuote("shopt -s nullglob; for f in " + pattern + "; do printf '%s\\n' \"$f\"; done"));
}

TEST(SearchFilesByPattern, AgreesWithTheShellIncludingHome) {
    ScratchDir dir;
    buildTree(dir);
    ::chmod((dir / "locked").c_str(), 0755);
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", dir.path().c_str(), 1);
    for (const std::string& pattern : std::vector<std::string>{"~/a/*", "~/*/*.txt", "~/a/b/*/*", "~/[at]*", "~/name*/?.txt", "~",
                                      dir.path() + "/*/*"}) {
        const std::vector<std::string> expected = shellGlob(dir.path(), pattern);
        ASSERT_FALSE(expected.empty()) << pattern;
        EXPECT_EQ(searchFilesByPattern(pattern), expected) << pattern;
    }
    if (oldHome) ::setenv("HOME", savedHome.c_str(), 1); else ::unsetenv("HOME");
}

TEST(SearchFilesByPattern, NoMatchIsAnErrorLine) {
    ScratchDir dir;
    zorvtest::LogCapture log;
    EXPECT_TRUE(searchFilesByPattern(dir / "*.none").empty());
    auto lines = log.matching("[searchFilesByPattern:");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, 300);
    EXPECT_NE(lines[0].message.find("] No matches found."), std::string::npos);
}

}  // namespace
