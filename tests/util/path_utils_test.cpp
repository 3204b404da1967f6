#include <zorv/labelmgr.hpp>

#include "util_support.h"

#include <gtest/gtest.h>

namespace {

using zorvtest::ScratchDir;
namespace fs = std::filesystem;

// Runs the rest of the test with the current directory set to `dir`.
struct InDirectory {
    explicit InDirectory(const std::string& dir) { fs::current_path(dir); }
    ~InDirectory() { fs::current_path(previous); }
    fs::path previous = fs::current_path();
};

// Paths resolved on disk, against realpath(1) where it has a counterpart; links are examined themselves; read-only
// file systems known by their mount flags.
TEST(PathsOnDisk, ResolvedAsRealpathAndWalkedUpToAnExistingParent) {
    ScratchDir dir;
    dir.file("real/dir/file");
    dir.dir("usr/lib");
    dir.link(dir / "real", "l1");
    dir.link("l1/dir", "l2");  // relative target, through another link
    dir.link("l2/file", "lfile");
    dir.link("nowhere", "dangling");
    dir.link("loop", "loop");
    InDirectory here(dir.path());
    zorvtest::LogCapture log;
    for (const char* path : {"l2/file", "lfile", "./l1/../l2/./file", "real//dir/", ".", "/", "dangling", "missing",
                             "real/dir/file/x", "l1/dir/../dir/file"}) {
        const auto tool = zorvtest::commandLines(std::string("realpath -e -- ") + path + " 2>/dev/null");
        EXPECT_EQ(getRealPath(path), tool.empty() ? "" : tool[0]) << path;
    }
    EXPECT_EQ(getRealPath(""), "");
    EXPECT_TRUE(log.contains("] path is empty") && log.contains("] file is not exists, missing"));
    EXPECT_THROW(getRealPath("loop"), fs::filesystem_error);  // the existence test itself fails: that passes

    // getLinkRealPath resolves the directory but not the last name, which need not exist.
    const std::string real = fs::canonical(dir / "real").string();
    EXPECT_EQ(getLinkRealPath(dir / "lfile"), fs::canonical(dir.path()).string() + "/lfile");
    EXPECT_EQ(getLinkRealPath(dir / "l1/new-name"), real + "/new-name");
    EXPECT_EQ(getLinkRealPath(dir / "l1/"), real + "/");
    EXPECT_EQ(getLinkRealPath(dir / "gone/x"), "");
    EXPECT_EQ(getLinkRealPath(dir / "loop/x"), "");  // caught and logged
    EXPECT_TRUE(log.contains("[getLinkRealPath:"));

    const std::pair<const char*, const char*> parents[] = {
        {"/no/such/dir/*.txt", "/"}, {"*", ""}, {"usr/lib*", "usr/lib"}, {"usr/li*", "usr"},
        {"usr/[ab]/x", "usr"},  // '[' does not cut
        {"usr/nothing/*", "usr"}, {"loop/x*", ""}};
    for (const auto& [pattern, parent] : parents) EXPECT_EQ(findFirstValidParentDir(pattern), parent) << pattern;
    EXPECT_TRUE(log.contains("] filesystem error: "));

    const std::string link = dir / "l1", dangling = dir / "dangling";
    EXPECT_EQ(std::make_tuple(pathIsDir(link.c_str()), pathIsLinkFile(link.c_str()), pathIsExists(link.c_str())),
              std::make_tuple(0, 1, 0));
    EXPECT_EQ(std::make_tuple(pathIsLinkFile(dangling.c_str()), pathIsExists(dangling.c_str())), std::make_tuple(1, -1));

    EXPECT_FALSE(isFilesystemReadOnly(dir.path().c_str()));
    // The first read-only mount, if the machine has one.
    for (const auto& point : zorvtest::commandLines("awk '$4 ~ /^ro(,|$)/ {print $2; exit}' /proc/self/mounts"))
        EXPECT_TRUE(isFilesystemReadOnly(point.c_str())) << point;
    EXPECT_FALSE(isFilesystemReadOnly((dir / "missing").c_str()));
    EXPECT_FALSE(isFilesystemReadOnly(nullptr));
    EXPECT_TRUE(log.contains("] statfs error, No such file or directory, " + (dir / "missing")));
}

TEST(PathText, IsParentComparePrefixesAndFormat) {
    const std::tuple<const char*, const char*, bool, bool> pairs[] = {  // parent?, less?
        {"/a/b", "/a/b/c", true, true}, {"/a/b", "/a/b", false, false}, {"/a/b", "/a/bc", false, true},
        {"/", "/x", true, true}, {"/a/b/", "/a/b/", true, false}, {"/a/b", "/a/b/../../etc", true, true},  // text only
        {"/a/b", "/a/\xc3\xa9", false, true}, {"/a-b", "/a/b", false, true}};  // bytes, not components
    for (const auto& [a, b, parent, less] : pairs) {
        EXPECT_EQ(isParentPath(a, b), parent) << a << " " << b;
        EXPECT_EQ(comparePaths(a, b), less) << a << " " << b;
    }
    EXPECT_THROW(isParentPath("", "/a"), fs::filesystem_error);
    EXPECT_THROW(comparePaths("", "/a"), fs::filesystem_error);

    const std::tuple<const char*, const char*, const char*> texts[] = {  // formatPath, parent without wildcard
        {"/usr//lib///", "/usr/lib", nullptr}, {"/usr/lib/", "/usr/lib", "/usr"}, {"/etc/*", "/etc", "/etc"},
        {"//*", "/", "/"}, {"*", "*", "/"}, {"a//b*/", "a/b*", nullptr}, {"/", "/", ""}, {"", "", ""},
        {"/a/**", "/a/**", "/a"}, {"rel/", "rel", "rel"}, {"/usr/*/lib", "/usr/*/lib", "/usr"},
        {"./*.txt", "./*.txt", "."}, {"[ab]/x", "[ab]/x", "[ab]"}, {"a/b/c?/d/*", "a/b/c?/d", "a/b"}};
    for (const auto& [in, formatted, parent] : texts) {
        EXPECT_EQ(formatPath(in), formatted) << in;
        EXPECT_TRUE(!parent || getParentDirWithoutWildcard(in) == parent)
            << in << " gives " << getParentDirWithoutWildcard(in);
    }
}

TEST(SortPaths, ExpandsWildcardsInTheLastComponentAndSorts) {
    ScratchDir dir;
    for (const char* f : {"etc/b.conf", "etc/a.conf", "etc/.dot.conf", "etc/A.conf", "etc/other.txt", "w*/f"})
        dir.file(f);
    dir.dir("etc/sub.conf");
    EXPECT_EQ(sortPaths({dir / "etc/*.conf", "/bin", dir / "etc/x?"}),
              (std::vector<std::string>{"/bin", dir / "etc/.dot.conf", dir / "etc/A.conf", dir / "etc/a.conf",
                                        dir / "etc/b.conf", dir / "etc/sub.conf", dir / "etc/x?"}));
    EXPECT_EQ(expandPath(dir / "w*/?"), std::vector<fs::path>{dir / "w*/f"});  // directory taken literally
    EXPECT_THROW(expandPath("*.conf"), fs::filesystem_error);
    EXPECT_THROW(sortPaths({dir / "missing/*", "/a"}), fs::filesystem_error);
}

}  // namespace
