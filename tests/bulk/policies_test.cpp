// Policy resolution against the stand-in service: what is sent, and how each
// category of the reply becomes identifiers.
#include <gtest/gtest.h>
#include <zorv/labelmgr.hpp>

#include "log_capture.h"
#include "test_bus.h"

using zorvtest::WireValue;

namespace {

using Fields = std::map<std::string, uint64_t>;
using Reply = std::map<std::string, std::map<std::string, Fields>>;
using Ids = std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>>;

// "category/name: {pkg,file,path} ..." one name a line.
std::string show(const Ids& ids) {
    std::string out;
    for (const auto& [category, names] : ids)
        for (const auto& [name, list] : names) {
            out += category + "/" + name + ":";
            for (const ZORV_ID& id : list)
                out += " {" + std::to_string(id.pkg_id) + "," + std::to_string(id.file_id) + "," +
                       std::to_string(id.path_id) + "}";
            out += "\n";
        }
    return out;
}

TEST(Policies, RepliesBecomeIdentifiersByCategory) {
    zorvtest::Standin standin;
    standin.reset();
    standin.reply("policies_parse",
                  {WireValue(Reply{{"subject_pkg", {{"p1", {{"b", 9}, {"a", 7}}}, {"none", {}}}},
                                   {"object_pkg", {{"p2", {{"x", 3}}}}},
                                   {"subject_recurfile", {{"/s", {{"k", 5}}}}},
                                   {"object_recurfile", {{"/r", {{"pkg_id", 42}}}, {"/empty", {}}}},
                                   {"other", {{"n", {{"file_id", 2}, {"pkg_id", 1}, {"zz", 5}}}, {"e", {}}}}})});
    Ids ids{{"kept", {{"k", {{1, 1, 1}}}}}};
    const std::map<std::string, std::vector<std::string>> policies{{"subject_pkg", {"p1", "none", "p1"}},
                                                                   {"other", {"n"}}};
    ASSERT_EQ(policies_parse(policies, ids), 0);
    const std::string once =
        "kept/k: {1,1,1}\nobject_pkg/p2: {3,0,0}\nobject_recurfile//r: {0,0,42}\nother/e: {0,0,0}\n"
        "other/n: {1,2,0}\nsubject_pkg/p1: {7,0,0} {9,0,0}\nsubject_recurfile//s: {0,0,5}\n";
    EXPECT_EQ(show(ids), once);
    ASSERT_EQ(policies_parse(policies, ids), 0);  // appends to what is there
    EXPECT_EQ(show(ids),
              "kept/k: {1,1,1}\nobject_pkg/p2: {3,0,0} {3,0,0}\nobject_recurfile//r: {0,0,42} {0,0,42}\n"
              "other/e: {0,0,0} {0,0,0}\nother/n: {1,2,0} {1,2,0}\nsubject_pkg/p1: {7,0,0} {9,0,0} {7,0,0} {9,0,0}\n"
              "subject_recurfile//s: {0,0,5} {0,0,5}\n");
    Ids fresh;
    EXPECT_EQ(policies_parse({}, fresh), 0);  // an empty description still goes
    auto got = standin.received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].signature, "a{sas}");
    EXPECT_EQ(got[0].arguments, R"({"other": ["n"], "subject_pkg": ["p1", "none", "p1"]})");
    EXPECT_EQ(got[2].arguments, "{}");
}

TEST(Policies, FailuresLeaveTheIdentifiersAlone) {
    zorvtest::Standin standin;
    standin.reset();
    zorvtest::LogCapture log;
    Ids ids{{"kept", {{"k", {{1, 2, 3}}}}}};
    standin.reply("policies_parse", {WireValue(std::vector<std::string>{"not", "a dictionary"})});
    EXPECT_EQ(policies_parse({{"c", {"n"}}}, ids), -1);
    EXPECT_TRUE(log.contains("[policies_parse:"));
    EXPECT_TRUE(log.contains("DBus error occurred: org.freedesktop.DBus.Error.InvalidArgs, dictionary value expected"));
    standin.reset();
    // Strings the bus would refuse are refused before it.
    EXPECT_EQ(policies_parse({{"c\xC0\x80", {"n"}}}, ids), -1);
    EXPECT_EQ(policies_parse({{"c", {"ok", "\xED\xA0\x80"}}}, ids), -1);
    EXPECT_TRUE(log.contains("Invalid UTF-8 sequence in policy name"));
    EXPECT_EQ(policies_parse({{"c", std::vector<std::string>(40, std::string(1 << 20, 'n'))}}, ids), -1);
    EXPECT_TRUE(log.contains("Policy description too large for one bus message"));
    EXPECT_TRUE(standin.received().empty());
    EXPECT_EQ(show(ids), "kept/k: {1,2,3}\n");
}

}  // namespace
