#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include "log_capture.h"

namespace {

// Left to right without rescanning what was inserted; the Begin/First forms touch only a prefix.
TEST(StringUtils, ReplaceRemoveTrimSplit) {
    zorvtest::LogCapture log;
    EXPECT_EQ(replaceString("ab", "b", "bb"), "abb");
    EXPECT_EQ(replaceString(std::string("a\0b", 3), std::string(1, '\0'), "-"), "a-b");
    EXPECT_EQ(replaceBeginString("/usr/usr", "/usr", "/opt"), "/opt/usr");
    EXPECT_EQ(replaceBeginString("x/usr", "/usr", "/opt"), "x/usr");
    EXPECT_EQ(removeSubString("aaa", "aa"), "a");
    EXPECT_EQ(removeSubString("abc", ""), "abc");
    EXPECT_EQ(removeFirstSubString("xab", "ab"), "xab");
    EXPECT_EQ(removeFirstSubString("abab", "ab"), "ab");
    EXPECT_EQ(log.size(), 0u);
    for (auto replacer : {replaceString, replaceBeginString}) {
        EXPECT_EQ(replacer("", "", "x"), "");  // the text is checked before the old text
        EXPECT_EQ(replacer("abc", "", "x"), "abc");
    }
    EXPECT_EQ(log.matching("] text is empty").size(), 2u);
    EXPECT_EQ(log.matching("] oldStr is empty").size(), 2u);
    EXPECT_EQ(trim(" \t\r\n a  b \n\r\t "), "a  b");
    EXPECT_EQ(trim(" \t\n\r "), "");
    EXPECT_EQ(trim("\v x \f"), "\v x \f");
    EXPECT_TRUE(containsEscapeChars("a\\*b"));
    EXPECT_EQ(removeEscapeChars("a\\*b\\\\c\\"), "a*bc");  // every backslash goes, escaped or not
    std::vector<std::string> out{"old"};
    splitString(",a,,b,", ',', out);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b"}));
    out = {"a:b:c", ":"};  // text and delimiter may live in the vector being filled
    splitString(out[0], out[1][0], out);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "b", "c"}));
    splitString("", ',', out);
    EXPECT_TRUE(out.empty());
}

}  // namespace
