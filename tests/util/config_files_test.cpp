#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include "util_support.h"

namespace {

// One file read through both dialects: comments, whitespace, section rules and which of two equal keys wins differ.
TEST(ConfigFiles, TwoDialectsSideBySideAndVariablesReplaced) {
    zorvtest::ScratchDir dir;
    const std::string file = dir.path() + "/both.conf";
    std::ofstream(file) << "top = 1\n# hash = 2\n[main]\r\n  name = my value \r\n; note = 1\nname = second\n"
                           "path\t=\t/a b\t \nnovalue\nempty=\nt = x = y\n[]\nbare = 1\n[x\n[tail] text\nk = v\n";
    const std::unordered_map<std::string, std::unordered_map<std::string, std::string>> sections = {
        {"main", {{"name", "my value"}, {"; note", "1"}, {"path", "/a b"}, {"empty", ""}, {"t", "x = y"}}}, {"", {}}};
    EXPECT_EQ(parseConfig(file), sections);
    const std::map<std::string, std::string> flat = {{"top ", "1"}, {"main.name ", "second"}, {"main.path\t", "/ab\t"},
        {"main.empty", ""}, {"main.t ", "x=y"}, {"bare ", "1"}, {"tail.k ", "v"}};
    EXPECT_EQ(readConfig(file), flat);

    // Known names are replaced once each, at most a hundred a call.
    std::unordered_map<std::string, std::string> vars = {
        {"HOME", "/root"}, {"SELF", "<HOME>"}, {"GONE", ""}, {"<a", "A"}, {"v", "1"}, {"e", ""}};
    EXPECT_EQ(replaceVariable(vars, "<X><><home>< HOME>x>y<HOME"), "<X><><home>< HOME>x>y<HOME");
    EXPECT_EQ(replaceVariable(vars, "<SELF>/x"), "<HOME>/x");  // inserted text is not expanded
    EXPECT_EQ(replaceVariable(vars, "a<GONE>b<GONE><HOME>"), "ab/root");
    EXPECT_EQ(replaceVariable(vars, "<<a>>"), "A>");  // the name runs from the first '<' to the first '>'

    // At most 100 substitutions a call; removals count, misses do not.
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
