#include <zorv/labelmgr.hpp>

#include "log_capture.h"
#include "test_tree.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using utiltest::commandLines;
using utiltest::ScratchDir;
using utiltest::shellQuote;
namespace fs = std::filesystem;

// Runs the test body with the current directory set to `dir`.
class InDirectory {
public:
    explicit InDirectory(const std::string& dir) : previous_(fs::current_path()) { fs::current_path(dir); }
    ~InDirectory() { fs::current_path(previous_); }

private:
    fs::path previous_;
};

std::string realpathTool(const std::string& path) {
    int status = 0;
    auto lines = commandLines("realpath -e -- " + shellQuote(path) + " 2>/dev/null", &status);
    return status == 0 && lines.size() == 1 ? lines[0] : std::string();
}

TEST(GetRealPath, AgreesWithRealpathTool) {
    ScratchDir dir;
    dir.file("real/dir/file");
    dir.link(dir / "real", "l1");
    dir.link("l1/dir", "l2");         // relative target, through another link
    dir.link("l2/file", "lfile");
    dir.link("nowhere", "dangling");
    InDirectory here(dir.path());
    for (const std::string& path : std::vector<std::string>{"l2/file", "lfile", "./l1/../l2/./file", "real/dir/", "real//dir", ".", "/", "dangling",
          "missing", "real/dir/file/x", dir / "l2", "l1/dir/../dir/file"}) {
        EXPECT_EQ(getRealPath(path), realpathTool(path)) << path;
    }
    EXPECT_EQ(getRealPath("lfile"), fs::canonical(dir / "real/dir/file").string());
}

TEST(GetRealPath, WarningsAndErrors) {
    ScratchDir dir;
    zorvtest::LogCapture log;
    EXPECT_EQ(getRealPath(""), "");
    EXPECT_EQ(getRealPath(dir / "missing"), "");
    dir.link("loop", "loop");
    auto lines = log.matching("[getRealPath:");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, 400);
    EXPECT_NE(lines[0].message.find("] path is empty"), std::string::npos);
    EXPECT_EQ(lines[1].priority, 400);
    EXPECT_NE(lines[1].message.find("] file is not exists, " + (dir / "missing")), std::string::npos);
    // A link loop makes the existence test itself fail: that error passes.
    EXPECT_THROW(getRealPath(dir / "loop"), fs::filesystem_error);
}

TEST(GetLinkRealPath, ResolvesTheDirectoryButNotTheName) {
    ScratchDir dir;
    dir.file("real/target");
    dir.link(dir / "real", "via");
    dir.link(dir / "real/target", "real/link");
    const std::string realDir = fs::canonical(dir / "real").string();
    EXPECT_EQ(getLinkRealPath(dir / "via/link"), realDir + "/link");
    EXPECT_EQ(getLinkRealPath(dir / "via/"), fs::canonical(dir / "via").string() + "/");
    EXPECT_EQ(getLinkRealPath(dir / "via/new-name"), realDir + "/new-name");
    EXPECT_EQ(getLinkRealPath(dir / "gone/x"), "");
    zorvtest::LogCapture log;
    EXPECT_EQ(getLinkRealPath("bare"), "");
    EXPECT_TRUE(log.contains("[getRealPath:"));
    // Errors of the resolution are caught and logged at debug level.
    dir.link("loop", "loop");
    EXPECT_EQ(getLinkRealPath(dir / "loop/x"), "");
    auto debug = log.matching("[getLinkRealPath:");
    ASSERT_EQ(debug.size(), 1u);
    EXPECT_EQ(debug[0].priority, 700);
    EXPECT_NE(debug[0].message.find("] error: "), std::string::npos);
}

TEST(IsParentPath, TextualPrefixOfAbsoluteForms) {
    EXPECT_TRUE(isParentPath("/a/b", "/a/b/c"));
    EXPECT_FALSE(isParentPath("/a/b", "/a/b"));
    EXPECT_FALSE(isParentPath("/a/b", "/a/bc"));
    EXPECT_TRUE(isParentPath("/", "/x"));
    EXPECT_TRUE(isParentPath("/a/b/", "/a/b/"));
    EXPECT_TRUE(isParentPath("/a/b", "/a/b/../../etc"));  // text only, nothing resolved
    ScratchDir dir;
    InDirectory here(dir.path());
    EXPECT_TRUE(isParentPath("x", dir / "x/y"));
    EXPECT_THROW(isParentPath("", "/a"), fs::filesystem_error);
}

TEST(FormatPath, Examples) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr//lib///", "/usr/lib"}, {"/etc/*", "/etc"}, {"/*", "/"}, {"//", "/"}, {"*", "*"},
        {"a/b*", "a/b*"}, {"a//b/", "a/b"}, {"/", "/"}, {"", ""}, {"/a/**", "/a/**"}, {"//*", "/"},
        {"rel/", "rel"}};
    for (const auto& c : cases) EXPECT_EQ(formatPath(c.first), c.second) << c.first;
}

TEST(ComparePaths, ByteOrderOfAbsoluteForms) {
    EXPECT_TRUE(comparePaths("/a/b", "/a/b/c"));
    EXPECT_FALSE(comparePaths("/a/b/c", "/a/b"));
    EXPECT_TRUE(comparePaths("/a/B", "/a/b"));
    EXPECT_FALSE(comparePaths("/a/b", "/a/b"));
    EXPECT_TRUE(comparePaths("/a/b", "/a/\xc3\xa9"));  // high bytes sort last
    EXPECT_TRUE(comparePaths("/a-b", "/a/b"));         // bytes, not components
    EXPECT_THROW(comparePaths("", "/a"), fs::filesystem_error);
}

TEST(SortPaths, ExpandsStarPatternsAndSorts) {
    ScratchDir dir;
    dir.file("etc/b.conf");
    dir.file("etc/a.conf");
    dir.file("etc/.dot.conf");
    dir.file("etc/A.conf");
    dir.file("etc/other.txt");
    dir.dir("etc/sub.conf");
    const std::vector<std::string> sorted = sortPaths({dir / "etc/*.conf", "/bin", dir / "etc/x?"});
    const std::vector<std::string> expected = {"/bin",
                                               dir / "etc/.dot.conf",
                                               dir / "etc/A.conf",
                                               dir / "etc/a.conf",
                                               dir / "etc/b.conf",
                                               dir / "etc/sub.conf",
                                               dir / "etc/x?"};
    EXPECT_EQ(sorted, expected);
    EXPECT_EQ(sortPaths({""}), std::vector<std::string>{""});
    EXPECT_THROW(sortPaths({"", "/a"}), fs::filesystem_error);
    EXPECT_THROW(sortPaths({dir / "missing/*", "/a"}), fs::filesystem_error);
}

TEST(ExpandPath, MatchesTheFinalComponentOnly) {
    ScratchDir dir;
    dir.file("d/.hidden");
    dir.file("d/shown");
    dir.file("d/x.conf");
    auto all = expandPath(dir / "d/*");
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (std::vector<fs::path>{dir / "d/.hidden", dir / "d/shown", dir / "d/x.conf"}));
    EXPECT_EQ(expandPath(dir / "d/*.conf"), std::vector<fs::path>{dir / "d/x.conf"});
    dir.dir("w*");
    dir.file("w*/f");
    EXPECT_EQ(expandPath(dir / "w*/?"), std::vector<fs::path>{dir / "w*/f"});  // directory taken literally
    EXPECT_THROW(expandPath("*.conf"), fs::filesystem_error);
    EXPECT_THROW(expandPath(dir / "missing/*"), fs::filesystem_error);
}

TEST(FindFirstValidParentDir, WalksUpFromTheTextBeforeTheWildcard) {
    ScratchDir dir;
    dir.dir("usr/lib");
    EXPECT_EQ(findFirstValidParentDir("/no/such/dir/*.txt"), "/");
    EXPECT_EQ(findFirstValidParentDir("*"), "");
    EXPECT_EQ(findFirstValidParentDir(dir / "usr/lib*"), dir / "usr/lib");
    EXPECT_EQ(findFirstValidParentDir(dir / "usr/li*"), dir / "usr");
    EXPECT_EQ(findFirstValidParentDir(dir / "usr/lib/?"), dir / "usr/lib/");  // not normalised
    EXPECT_EQ(findFirstValidParentDir(dir / "usr/[ab]/x"), dir / "usr");     // '[' does not cut
    InDirectory here(dir.path());
    EXPECT_EQ(findFirstValidParentDir("usr/nothing/*"), "usr");
    dir.link("loop", "loop");
    zorvtest::LogCapture log;
    EXPECT_EQ(findFirstValidParentDir("loop/x*"), "");
    EXPECT_TRUE(log.contains("] filesystem error: "));
}

TEST(GetParentDirWithoutWildcard, Examples) {
    const std::pair<const char*, const char*> cases[] = {
        {"/usr/lib/*.so", "/usr/lib"}, {"/usr/*/lib", "/usr"}, {"/a?", "/"}, {"*.txt", "/"},
        {"./*.txt", "."}, {"/usr/lib/", "/usr"}, {"/usr", "/"}, {"usr", "usr"}, {"usr/", "usr"},
        {"/", ""}, {"", ""}, {"[ab]/x", "[ab]"}, {"a/b/c?/d/*", "a/b"}, {"//x*", "/"}};
    for (const auto& c : cases) EXPECT_EQ(getParentDirWithoutWildcard(c.first), c.second) << c.first;
}

// A mount point listed read-only in the mount table, if the machine has one.
std::string readOnlyMount() {
    std::ifstream mounts("/proc/self/mounts");
    for (std::string device, point, type, options; mounts >> device >> point >> type >> options;) {
        std::string rest;
        std::getline(mounts, rest);
        if ((options == "ro" || options.rfind("ro,", 0) == 0) && point.find('\\') == std::string::npos)
            return point;
    }
    return std::string();
}

TEST(IsFilesystemReadOnly, MountFlagsAndErrors) {
    ScratchDir dir;
    EXPECT_FALSE(isFilesystemReadOnly(dir.path().c_str()));
    const std::string ro = readOnlyMount();
    if (!ro.empty()) {
        EXPECT_TRUE(isFilesystemReadOnly(ro.c_str())) << ro;
    }
    zorvtest::LogCapture log;
    EXPECT_FALSE(isFilesystemReadOnly((dir / "missing").c_str()));
    EXPECT_FALSE(isFilesystemReadOnly(nullptr));
    auto lines = log.matching("[isFilesystemReadOnly:");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].message.find("] statfs error, No such file or directory, " + (dir / "missing")),
              std::string::npos);
    EXPECT_EQ(lines[0].priority, 300);
}

}  // namespace
