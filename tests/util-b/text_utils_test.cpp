#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include "log_expect.h"
#include "scratch_dir.h"

namespace {

using zorvtest::hasOneLine;

TEST(StringUtils, ReplaceAndRemoveScanLeftToRightWithoutRescanning) {
    zorvtest::LogCapture log;
    EXPECT_EQ(replaceString("a.b.c", ".", "/"), "a/b/c");
    EXPECT_EQ(replaceString("aaa", "aa", "x"), "xa");
    EXPECT_EQ(replaceString("ab", "b", "bb"), "abb");
    EXPECT_EQ(replaceString(std::string("a\0b", 3), std::string(1, '\0'), "-"), "a-b");
    EXPECT_EQ(replaceBeginString("/usr/usr", "/usr", "/opt"), "/opt/usr");
    EXPECT_EQ(replaceBeginString("x/usr", "/usr", "/opt"), "x/usr");
    EXPECT_EQ(replaceBeginString("/us", "/usr", "/opt"), "/us");
    EXPECT_EQ(removeSubString("aaa", "aa"), "a");
    EXPECT_EQ(removeSubString("abc", ""), "abc");
    EXPECT_EQ(removeFirstSubString("xab", "ab"), "xab");
    EXPECT_EQ(removeFirstSubString("abab", "ab"), "ab");
    EXPECT_EQ(removeFirstSubString("ab", "ab"), "");
    EXPECT_EQ(log.size(), 0u);
}

// The text is checked before the old text, and each replacer logs under its own name.
TEST(StringUtils, ReplacersLogEmptyArguments) {
    for (auto replacer : {std::make_pair("replaceString", replaceString),
                          std::make_pair("replaceBeginString", replaceBeginString)}) {
        zorvtest::LogCapture log;
        EXPECT_EQ(replacer.second("", "", "x"), "");
        EXPECT_TRUE(hasOneLine(log, zorvtest::kErrorPriority, replacer.first, "text is empty"));
        log.clear();
        EXPECT_EQ(replacer.second("abc", "", "x"), "abc");
        EXPECT_TRUE(hasOneLine(log, zorvtest::kErrorPriority, replacer.first, "oldStr is empty"));
    }
}

TEST(StringUtils, TrimSplitAndEscapes) {
    EXPECT_EQ(trim(" \t\r\n a  b \n\r\t "), "a  b");
    EXPECT_EQ(trim(" \t\n\r "), "");
    EXPECT_EQ(trim("\v x \f"), "\v x \f");
    EXPECT_FALSE(containsEscapeChars(""));
    EXPECT_TRUE(containsEscapeChars("a\\*b"));
    EXPECT_EQ(removeEscapeChars("a\\*b"), "a*b");
    EXPECT_EQ(removeEscapeChars("a\\\\b\\"), "ab");

    zorvtest::LogCapture log;
    std::vector<std::string> out{"old"};
    splitString(",a,,b,", ',', out);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b"}));
    splitString("abc", ',', out);
    EXPECT_EQ(out, (std::vector<std::string>{"abc"}));
    out = {"a:b:c", ":"};  // text and delimiter may live in the vector being filled
    splitString(out[0], out[1][0], out);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(log.size(), 0u);
    splitString("", ',', out);
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(hasOneLine(log, zorvtest::kDebugPriority, "splitString", "input string is empty"));
}

// One file read through both dialects: comments, whitespace, section rules and
// which of two equal keys wins differ.
TEST(ConfigReaders, TwoDialectsSideBySide) {
    zorvtest::ScratchDir dir;
    const std::string file = dir.file("both.conf",
                                      "top = 1\n"
                                      "# hash = 2\n"
                                      "[main]\r\n"
                                      "  name = my value \r\n"
                                      "; note = 1\n"
                                      "name = second\n"
                                      "path\t=\t/a b\t \n"
                                      "novalue\n"
                                      "empty=\n"
                                      "t = x = y\n"
                                      "[]\n"
                                      "bare = 1\n"
                                      "[x\n"
                                      "[tail] text\n"
                                      "k = v\n");
    using Sections = std::unordered_map<std::string, std::unordered_map<std::string, std::string>>;
    const Sections sections = {
        {"main", {{"name", "my value"}, {"; note", "1"}, {"path", "/a b"}, {"empty", ""}, {"t", "x = y"}}},
        {"", {}},
    };
    EXPECT_EQ(parseConfig(file), sections);

    const std::map<std::string, std::string> flat = {
        {"top ", "1"},         {"main.name ", "second"}, {"main.path\t", "/ab\t"}, {"main.empty", ""},
        {"main.t ", "x=y"},    {"bare ", "1"},           {"tail.k ", "v"},
    };
    EXPECT_EQ(readConfig(file), flat);
}

TEST(ConfigReaders, MissingFileGivesEmptyResultAndAnErrorLine) {
    zorvtest::ScratchDir dir;
    const std::string missing = dir / "missing.conf";
    zorvtest::LogCapture log;
    EXPECT_TRUE(parseConfig(missing).empty());
    EXPECT_TRUE(hasOneLine(log, zorvtest::kErrorPriority, "parseConfig", "Failed to open config: " + missing));
    log.clear();
    EXPECT_TRUE(readConfig(missing).empty());
    EXPECT_TRUE(hasOneLine(log, zorvtest::kErrorPriority, "readConfig", "can not open file " + missing));
}

TEST(ReplaceVariable, SubstitutesKnownNamesOnce) {
    std::unordered_map<std::string, std::string> vars = {
        {"HOME", "/root"}, {"SELF", "<HOME>"}, {"GONE", ""}, {"<a", "A"}};
    EXPECT_EQ(replaceVariable(vars, "<HOME>/bin"), "/root/bin");
    EXPECT_EQ(replaceVariable(vars, "<X><><home>< HOME>"), "<X><><home>< HOME>");
    EXPECT_EQ(replaceVariable(vars, "<SELF>/x"), "<HOME>/x");  // inserted text is not expanded
    EXPECT_EQ(replaceVariable(vars, "a<GONE>b<GONE><HOME>"), "ab/root");
    EXPECT_EQ(replaceVariable(vars, "<<a>>"), "A>");  // the name runs from the first '<' to the first '>'

    zorvtest::LogCapture log;
    EXPECT_EQ(replaceVariable(vars, "x>y<HOME"), "x>y<HOME");  // nothing to look at: no line
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(replaceVariable(vars, "<<b>>"), "<<b>>");
    EXPECT_TRUE(hasOneLine(log, zorvtest::kDebugPriority, "replaceVariable", "replaced: <<b>>"));
}

// At most 100 substitutions a call; removals count, misses do not.
TEST(ReplaceVariable, StopsAfterOneHundredSubstitutions) {
    std::unordered_map<std::string, std::string> vars = {{"v", "1"}, {"e", ""}};
    std::string text, expected, removals;
    for (int i = 0; i < 150; ++i) {
        text += "<x><v>";
        expected += i < 100 ? "<x>1" : "<x><v>";
        removals += "<e>";
    }
    EXPECT_EQ(replaceVariable(vars, text), expected);
    EXPECT_EQ(replaceVariable(vars, removals), removals.substr(0, 50 * 3));
}

}  // namespace
