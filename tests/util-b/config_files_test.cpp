#include <zorv/labelmgr.hpp>

#include <gtest/gtest.h>

#include "log_expect.h"
#include "scratch_dir.h"

namespace {

using Sections = std::unordered_map<std::string, std::unordered_map<std::string, std::string>>;
using Flat = std::map<std::string, std::string>;

using zorvtest::kDebugPriority;
using zorvtest::kErrorPriority;

// One file read through both dialects, line by line what each makes of it.
TEST(ConfigReaders, TwoDialectsSideBySide) {
    zorvtest::ScratchDir dir;
    const std::string file = dir.file("both.conf",
                                      "top = 1\n"              // before any header
                                      "# hash comment = 2\n"
                                      "[main]\n"
                                      "  name = my value \n"
                                      "; note = 1\n"           // a comment only for readConfig
                                      "name = second\n"        // first wins / last wins
                                      "path\t=\t/a b\t \n"
                                      "novalue\n"
                                      "empty=\n"
                                      "[empty section]\n"
                                      "[x\n"                   // no ']'
                                      "after = x\n");

    Sections expectedSections = {
        {"main", {{"name", "my value"}, {"; note", "1"}, {"path", "/a b"}, {"empty", ""}}},
        {"empty section", {}},
        // "[x" is no header for parseConfig either, so "after" stays in the section before it
    };
    expectedSections["empty section"]["after"] = "x";
    EXPECT_EQ(parseConfig(file), expectedSections);

    const Flat expectedFlat = {
        {"top ", "1"},
        {"main.name ", "second"},
        {"main.path\t", "/ab\t"},  // tab before '=' stays in the key; only blanks leave the value
        {"main.empty", ""},
        {"empty section.after ", "x"},
    };
    EXPECT_EQ(readConfig(file), expectedFlat);
}

TEST(ParseConfig, EmptyHeaderOpensASectionThatTakesNoKeys) {
    zorvtest::ScratchDir dir;
    const std::string file = dir.file("c.conf", "[]\nk = v\n[named]\nk = w\n\t[ spaced ]\t\r\n");
    Sections expected = {{"", {}}, {"named", {{"k", "w"}}}, {" spaced ", {}}};
    EXPECT_EQ(parseConfig(file), expected);
}

TEST(ReadConfig, WindowsLineEndsAndSectionRules) {
    zorvtest::ScratchDir dir;
    const std::string file = dir.file("w.conf",
                                      "[db]\r\n"
                                      "host = a b\r\n"
                                      "k=\r\n"
                                      "[]\r\n"
                                      "bare = 1\r\n"
                                      "[tail] trailing text\n"
                                      "t = x = y\n");
    const Flat expected = {{"db.host ", "ab"}, {"db.k", ""}, {"bare ", "1"}, {"tail.t ", "x=y"}};
    EXPECT_EQ(readConfig(file), expected);
}

TEST(ConfigReaders, MissingFileGivesEmptyResultAndOneErrorLine) {
    zorvtest::ScratchDir dir;
    const std::string missing = dir / "missing.conf";
    zorvtest::LogCapture log;
    EXPECT_TRUE(parseConfig(missing).empty());
    EXPECT_TRUE(readConfig(missing).empty());
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(zorvtest::isLine(lines[0], kErrorPriority, "parseConfig", "Failed to open config: " + missing));
    EXPECT_TRUE(zorvtest::isLine(lines[1], kErrorPriority, "readConfig", "can not open file " + missing));

    // An empty file is read without a word.
    log.clear();
    const std::string empty = dir.file("empty.conf", "");
    EXPECT_TRUE(parseConfig(empty).empty());
    EXPECT_TRUE(readConfig(empty).empty());
    EXPECT_EQ(log.size(), 0u);
}

TEST(ReplaceVariable, SubstitutesKnownNamesOnce) {
    std::unordered_map<std::string, std::string> vars = {
        {"HOME", "/root"}, {"SELF", "<HOME>"}, {"GONE", ""}, {"<a", "never"}, {"a", "A"}};
    const std::pair<std::string, std::string> cases[] = {
        {"<HOME>/bin", "/root/bin"},
        {"<X>/bin", "<X>/bin"},            // unknown name stays
        {"<>", "<>"},                      // empty name stays
        {"<SELF>/x", "<HOME>/x"},          // inserted text is not expanded again
        {"a<GONE>b<GONE><HOME>", "ab/root"},  // empty values remove their placeholders
        {"<home>", "<home>"},              // names are case-sensitive
        {"< a>", "< a>"},                  // and untrimmed
        {"<<a>>", "never>"},               // the name runs from the first '<' to the first '>'
        {"x<HOME", "x<HOME"},
        {"no placeholders", "no placeholders"},
    };
    for (const auto& c : cases) EXPECT_EQ(replaceVariable(vars, c.first), c.second) << c.first;
    EXPECT_EQ(vars.size(), 5u);
}

TEST(ReplaceVariable, LogsTheResultOnlyWhenAPlaceholderCouldStand) {
    std::unordered_map<std::string, std::string> vars = {{"HOME", "/root"}};
    zorvtest::LogCapture log;
    EXPECT_EQ(replaceVariable(vars, "x>y<z"), "x>y<z");  // no '>' after the first '<'
    EXPECT_EQ(log.size(), 0u);
    EXPECT_EQ(replaceVariable(vars, "<<a>>"), "<<a>>");
    EXPECT_TRUE(zorvtest::hasOneLine(log, kDebugPriority, "replaceVariable", "replaced: <<a>>"));
}

TEST(ReplaceVariable, StopsAfterOneHundredSubstitutions) {
    std::unordered_map<std::string, std::string> vars = {{"v", "1"}, {"e", ""}};
    std::string text, expected;
    for (int i = 0; i < 150; ++i) {
        text += "<v>";
        expected += i < 100 ? "1" : "<v>";
    }
    EXPECT_EQ(replaceVariable(vars, text), expected);

    // Removals by an empty value count too.
    std::string removals;
    for (int i = 0; i < 120; ++i) removals += "<e>";
    EXPECT_EQ(replaceVariable(vars, removals), removals.substr(0, 20 * 3));

    // Placeholders that are not substituted do not count.
    std::string mixed;
    for (int i = 0; i < 150; ++i) mixed += "<x><v>";
    std::string mixedExpected;
    for (int i = 0; i < 150; ++i) mixedExpected += i < 100 ? "<x>1" : "<x><v>";
    EXPECT_EQ(replaceVariable(vars, mixed), mixedExpected);
}

}  // namespace
