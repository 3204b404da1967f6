#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include "log_capture.h"

namespace {

const int kError = 300;
const int kDebug = 700;

struct Case {
    std::string text, oldStr, newStr, expected;
};

TEST(ReplaceString, ReplacesLeftToRightWithoutRescanning) {
    const Case cases[] = {
        {"a.b.c", ".", "/", "a/b/c"},
        {"x.", ".", "/", "x/"},            // occurrence at the very end
        {"aaa", "aa", "x", "xa"},          // non-overlapping, from the left
        {"ab", "b", "bb", "abb"},          // the new text holds the old one: no repetition
        {"abc", "zz", "y", "abc"},         // nothing to replace
        {"abcabc", "abc", "", ""},         // every occurrence removed
        {std::string("a\0b", 3), std::string("\0", 1), "-", "a-b"},  // bytes, not C strings
    };
    zorvtest::LogCapture log;
    for (const Case& c : cases) EXPECT_EQ(replaceString(c.text, c.oldStr, c.newStr), c.expected) << c.text;
    EXPECT_EQ(log.size(), 0u);
}

TEST(ReplaceBeginString, ReplacesOnlyALeadingOccurrenceOnce) {
    const Case cases[] = {
        {"/usr/usr", "/usr", "/opt", "/opt/usr"},
        {"/usr", "/usr", "/opt", "/opt"},
        {"x/usr", "/usr", "/opt", "x/usr"},
        {"/us", "/usr", "/opt", "/us"},  // old text longer than the text
    };
    zorvtest::LogCapture log;
    for (const Case& c : cases) EXPECT_EQ(replaceBeginString(c.text, c.oldStr, c.newStr), c.expected) << c.text;
    EXPECT_EQ(log.size(), 0u);
}

// Both replacers check the text before the old text, and log under their own name.
TEST(ReplaceString, EmptyArgumentsAreLoggedAsErrors) {
    using Replacer = std::string (*)(const std::string&, const std::string&, const std::string&);
    const std::pair<const char*, Replacer> replacers[] = {{"replaceString", replaceString},
                                                         {"replaceBeginString", replaceBeginString}};
    for (const auto& r : replacers) {
        zorvtest::LogCapture log;
        EXPECT_EQ(r.second("", "", "x"), "");
        EXPECT_EQ(r.second("abc", "", "x"), "abc");
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 2u) << r.first;
        EXPECT_EQ(lines[0].priority, kError);
        EXPECT_EQ(lines[0].message.rfind(std::string("[") + r.first + ":", 0), 0u) << lines[0].message;
        EXPECT_NE(lines[0].message.find("] text is empty"), std::string::npos);
        EXPECT_EQ(lines[1].priority, kError);
        EXPECT_NE(lines[1].message.find("] oldStr is empty"), std::string::npos);
    }
}

TEST(RemoveSubString, RemovesEveryOccurrenceOrOnlyTheLeadingOne) {
    zorvtest::LogCapture log;
    EXPECT_EQ(removeSubString("aaa", "aa"), "a");
    EXPECT_EQ(removeSubString("a-b-c-", "-"), "abc");
    EXPECT_EQ(removeSubString("abc", ""), "abc");
    EXPECT_EQ(removeSubString("", "x"), "");

    EXPECT_EQ(removeFirstSubString("xab", "ab"), "xab");
    EXPECT_EQ(removeFirstSubString("ab", "ab"), "");
    EXPECT_EQ(removeFirstSubString("abab", "ab"), "ab");
    EXPECT_EQ(removeFirstSubString("a", "ab"), "a");
    EXPECT_EQ(removeFirstSubString("abc", ""), "abc");
    EXPECT_EQ(removeFirstSubString("", "ab"), "");
    EXPECT_EQ(log.size(), 0u);
}

TEST(Trim, StripsBlanksTabsAndLineEndsOnly) {
    EXPECT_EQ(trim(" \t\r\n a  b \n\r\t "), "a  b");
    EXPECT_EQ(trim(" \t\n\r "), "");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim("x"), "x");
    EXPECT_EQ(trim("\v x \f"), "\v x \f");
}

TEST(SplitString, KeepsOnlyNonEmptyPiecesAndEmptiesTheVectorFirst) {
    zorvtest::LogCapture log;
    std::vector<std::string> out{"old"};
    splitString(",a,,b,", ',', out);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b"}));
    splitString("abc", ',', out);
    EXPECT_EQ(out, (std::vector<std::string>{"abc"}));
    splitString(",,,", ',', out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(log.size(), 0u);

    out = {"old"};
    splitString("", ',', out);
    EXPECT_TRUE(out.empty());
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, kDebug);
    EXPECT_EQ(lines[0].message.rfind("[splitString:", 0), 0u);
    EXPECT_NE(lines[0].message.find("] input string is empty"), std::string::npos);
}

// The text and the delimiter may be elements of the vector being filled.
TEST(SplitString, AcceptsArgumentsThatLiveInTheOutputVector) {
    std::vector<std::string> out{"a:b:c", ":"};
    splitString(out[0], out[1][0], out);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(EscapeChars, DetectsAndRemovesBackslashes) {
    EXPECT_FALSE(containsEscapeChars(""));
    EXPECT_FALSE(containsEscapeChars("a/b"));
    EXPECT_TRUE(containsEscapeChars("a\\*b"));
    EXPECT_EQ(removeEscapeChars("a\\*b"), "a*b");
    EXPECT_EQ(removeEscapeChars("a\\\\b\\"), "ab");  // an escaped backslash disappears too
    EXPECT_EQ(removeEscapeChars(""), "");
}

}  // namespace
