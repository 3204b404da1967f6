#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include "log_expect.h"

namespace {

using zorvtest::isLine;
using zorvtest::kDebugPriority;
using zorvtest::kErrorPriority;

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
        EXPECT_TRUE(isLine(lines[0], kErrorPriority, r.first, "text is empty"));
        EXPECT_TRUE(isLine(lines[1], kErrorPriority, r.first, "oldStr is empty"));
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
    EXPECT_TRUE(zorvtest::hasOneLine(log, kDebugPriority, "splitString", "input string is empty"));
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
