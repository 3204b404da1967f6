// The user-set record queries and the lookup and maintenance calls against
// the stand-in service.
#include <gtest/gtest.h>
#include <zorv/labelmgr.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "log_capture.h"
#include "id_equality.h"
#include "standin_control.h"
#include "wait_until.h"

using zorvtest::WireValue;

namespace {

using Dict = std::map<std::string, uint64_t>;
using Oids = std::map<std::string, ZORV_ID>;

// The record's path, and the identifier in the 24 bytes at offset 4096.
void expectRecord(const UserSetRecord& r, const std::string& path, ZORV_ID id) {
    EXPECT_EQ(r.path, path);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&r) + 4096, &id, sizeof id), 0) << path;
}

struct RecordsAndLookups : zorvtest::StandinTest {
    zorvtest::LogCapture log;
};

TEST_F(RecordsAndLookups, RecordsComeInByteOrderOfTheirPaths) {
    struct Query { const char* member; const char* reply; const char* arguments; std::function<int(UserSetRecord**)> call; };
    const Query queries[] = {
        {"showUserSetPkgId", "a{st}", "", showUserSetPkgId},
        {"showUserSetFileOid", "a{sa{st}}", "", showUserSetFileOid},
        {"queryUserSetFileOid", "a{sa{st}}", "\"/q\" 3", [](UserSetRecord** r) { return queryUserSetFileOid("/q", r, 3); }},
        {"showUserSetFileSid", "a{sa{st}}", "", showUserSetFileSid},
        {"queryUserSetFileSid", "a{sa{st}}", "\"/q\" 4", [](UserSetRecord** r) { return queryUserSetFileSid("/q", r, 4); }},
        {"showUserSetFileTid", "a{su}", "", showUserSetFileTid},
        {"queryUserSetFileTid", "a{su}", "\"/q\" 5", [](UserSetRecord** r) { return queryUserSetFileTid("/q", r, 5); }},
        {"showUserSetFileInheritFlag", "a{su}", "", showUserSetFileInheritFlag},
        {"queryUserSetFileInheritFlag", "a{su}", "\"/q\" 6", [](UserSetRecord** r) { return queryUserSetFileInheritFlag("/q", r, 6); }},
    };
    for (const Query& q : queries) {
        SCOPED_TRACE(q.member);
        standin.reset();
        bool identifier = q.reply[3] == 'a';  // a{sa{st}}
        auto value = [&](uint64_t v) {
            if (identifier) return WireValue(Dict{{"pkg_id", v}, {"file_id", v + 1}, {"path_id", v + 2}});
            return q.reply[3] == 't' ? WireValue(v) : WireValue(uint32_t(v));
        };
        // Out of order on the wire; "/\xC3\xA9" (é) sorts after "/b" byte by byte.
        standin.reply(q.member, {WireValue::dict(q.reply, {{"/b", value(5)}, {"/\xC3\xA9", value(9)}, {"/a", value(7)}})});
        UserSetRecord* records = nullptr;
        ASSERT_EQ(q.call(&records), 3);
        auto id = [&](uint64_t v) { return identifier ? ZORV_ID{v, v + 1, v + 2} : ZORV_ID{v, 0, 0}; };
        expectRecord(records[0], "/a", id(7));
        expectRecord(records[1], "/b", id(5));
        expectRecord(records[2], "/\xC3\xA9", id(9));
        free(records);
        EXPECT_EQ(standin.received().at(0).arguments, q.arguments);

        // No records: 0, and the caller's pointer is left alone.
        standin.reply(q.member, {WireValue::dict(q.reply, {})});
        static UserSetRecord untouched;
        records = &untouched;
        EXPECT_EQ(q.call(&records), 0);
        EXPECT_EQ(records, &untouched);
        EXPECT_EQ(q.call(nullptr), -1);
    }
}

TEST_F(RecordsAndLookups, LongPathsPartialIdentifiersAndRepliesOfAnotherShape) {
    std::string fits(4095, 'a'), tooLong(4096, 'b');
    standin.reply("showUserSetFileOid", {std::map<std::string, Dict>{{fits, {{"file_id", 4}}}, {tooLong, {{"pkg_id", 1}, {"other", 8}}}}});
    UserSetRecord* records = nullptr;
    ASSERT_EQ(showUserSetFileOid(&records), 2);
    expectRecord(records[0], fits, {0, 4, 0});
    expectRecord(records[1], "", {1, 0, 0});  // did not fit, still counted
    free(records);

    records = nullptr;
    standin.reply("showUserSetFileTid", {WireValue::dict("a{ss}", {{"/a", "x"}})});  // the key reads, its value not
    EXPECT_EQ(showUserSetFileTid(&records), -2);
    EXPECT_EQ(records, nullptr);
    EXPECT_TRUE(log.contains("type mismatch"));
}

TEST_F(RecordsAndLookups, QueryUserSetPkgId) {
    unsigned long pkg = 42;
    std::pair<Dict, std::pair<int, unsigned long>> cases[] = {{{}, {1, 42}}, {{{"/other", 9}}, {0, 0}}, {{{"/other", 9}, {"/p", 11}}, {0, 11}}};
    for (auto& [reply, expected] : cases) {
        standin.reply("queryUserSetPkgId", {reply});
        EXPECT_EQ(queryUserSetPkgId("/p", &pkg), expected.first);
        EXPECT_EQ(pkg, expected.second);
    }
    EXPECT_EQ(std::make_pair(queryUserSetPkgId(nullptr, &pkg), queryUserSetPkgId("/p", nullptr)), std::make_pair(-1, -1));
}

TEST_F(RecordsAndLookups, OidLookups) {
    struct Lookup { const char *one, *many, *logged; int (*single)(const char*, unsigned long*); int (*multi)(std::vector<std::string>, Oids&); };
    for (const Lookup& l : {Lookup{"getDeviceOid", "getDeviceOids", "device: d1, oid: 000000000000002a", getDeviceOid, getDeviceOids},
                           Lookup{"getKernelModuleOid", "getKernelModuleOids", "kernel module: d1, oid: 000000000000002a", getKernelModuleOid, getKernelModuleOids}}) {
        unsigned long oid = 0;
        standin.reply(l.one, {uint64_t(42)});
        EXPECT_EQ(l.single("d1", &oid), 0);
        EXPECT_TRUE(oid == 42 && log.contains(l.logged)) << l.one;
        // Adds to the caller's map: overwrites "d1", keeps "kept", nothing for "d3".
        Oids oids{{"kept", {1, 2, 3}}, {"d1", {9, 9, 9}}};
        standin.reset();
        standin.reply(l.many, {Dict{{"d1", 10}, {"d2", 20}}});
        EXPECT_EQ(l.multi({"d1", "d2", "d3"}, oids), 0);
        EXPECT_EQ(standin.received().at(0).arguments, "[\"d1\", \"d2\", \"d3\"]");
        standin.error(l.many, "com.x.E", "no");
        EXPECT_EQ(l.multi({"d1"}, oids), -2);  // and leaves the map alone
        EXPECT_EQ(oids, (Oids{{"kept", {1, 2, 3}}, {"d1", {10, 0, 0}}, {"d2", {20, 0, 0}}})) << l.many;
    }
}

TEST_F(RecordsAndLookups, GetPkgIdsWritesAtMostCount) {
    unsigned long ids[3] = {0, 0, 77};
    const char* names[] = {"a", nullptr};
    EXPECT_EQ(getPkgIds(names, 2, ids), -1);  // a null name: nothing sent
    standin.reply("getPkgIds", {std::vector<uint64_t>{5, 6, 7}, int32_t(0)});
    EXPECT_EQ(getPkgIds(names, 1, ids), 1);
    EXPECT_EQ(ids[0] + ids[1] + ids[2], 5u + 0 + 77);
    EXPECT_TRUE(log.contains("3 package identifiers for 1 names"));
    EXPECT_EQ(getPkgIds(names, 0, ids), 0);  // still sent, with an empty list
    auto got = standin.received();
    EXPECT_EQ(got.at(0).arguments + got.at(1).arguments, "[\"a\"][]");
}

TEST_F(RecordsAndLookups, StringResultsAndTheirFailures) {
    auto owned = [](char* s) { std::string out = s ? s : "(null)"; free(s); return out; };
    struct Text { const char* member; std::function<std::string()> call; const char* failed; const char* wording; };
    const Text texts[] = {
        {"getPathSm3HashValue", [] { return getPathSm3HashValue("/p"); }, "", "DBus error occurred: com.x.E, no"},
        {"pathNormalize", [&] { return owned(pathNormalize("/p")); }, "(null)", "DBus error (name=com.x.E, message=no)"},
        {"getPkgNameById", [&] { return owned(getPkgNameById(12)); }, "(null)", "DBus error (name=com.x.E, message=no)"},
        {"getLabelSetStatus", [] { return std::to_string(getLabelSetStatus()); }, "-1", "DBus error occurred"},
    };
    for (const Text& t : texts) {
        standin.reply(t.member, {t.member[3] == 'L' ? WireValue(int32_t(-7)) : WireValue("-7")});
        EXPECT_EQ(t.call(), "-7") << t.member;
        standin.error(t.member, "com.x.E", "no");
        log.clear();
        EXPECT_EQ(t.call(), t.failed) << t.member;
        EXPECT_TRUE(log.contains(std::string("[") + t.member + ":") && log.contains(t.wording)) << t.member;
    }
    standin.reset();
    EXPECT_TRUE(!pathNormalize(nullptr) && !getPkgNameById(0) && !getPkgNameById(UINT64_MAX) &&
                getPathSm3HashValue(nullptr).empty());
    EXPECT_TRUE(log.contains("Invalid path parameter") && log.contains("Invalid package ID: 0"));
    EXPECT_TRUE(standin.received().empty());
}

TEST_F(RecordsAndLookups, InvalidUtf8InListsNeverReachesTheBus) {
    const char* bad = "/a\xC0\xAF";
    const char* names[] = {"ok", bad};
    unsigned long l = 0;
    Oids oids;
    EXPECT_EQ(getDeviceOids({"ok", bad}, oids), -2);
    EXPECT_EQ(getPkgIds(names, 2, &l), -1);
    addTagFullSystem("tag", {"ok", bad});
    EXPECT_EQ(log.matching("Invalid UTF-8").size(), 3u);
    EXPECT_TRUE(standin.received().empty());
}

// The bulk and full-system calls wait longer than the others; a call on
// another thread at the same time keeps the usual five seconds.
TEST_F(RecordsAndLookups, LongCallsWaitLongerThanOtherCalls) {
    for (const char* member : {"addTagFullSystem", "setLabelForPkg", "getLabelSetStatus"})
        standin.delay(member, 7000);
    auto start = std::chrono::steady_clock::now();
    auto since = [start] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    std::atomic<double> tagged{0}, labelled{0};
    std::vector<std::thread> slow;  // more than the connections that ordinary calls may take
    for (int i = 0; i < 9; ++i) slow.emplace_back([&] { addTagFullSystem("t", {"/a", "/b"}); tagged = since(); });
    char* files[] = {const_cast<char*>("/slow"), nullptr};
    EXPECT_TRUE(zorvtest::waitUntil([&] { return standin.received().size() >= 9; })) << "the slow calls never came";
    slow.emplace_back([&] { labelled = setLabelForPkg(files, 1, "slow") == 0 ? since() : -1; });
    const double asked = since();
    EXPECT_EQ(getLabelSetStatus(), -1);
    const double failed = since() - asked;
    for (auto& t : slow) t.join();
    EXPECT_TRUE(failed > 4.5 && failed < 6.5 && tagged > 6.9 && labelled > 6.9)
        << failed << " " << tagged << " " << labelled;
    EXPECT_TRUE(log.matching("[addTagFullSystem:").size() == 9 && log.contains("addTagFullSystem ret: 0"));
    auto got = standin.received();
    EXPECT_EQ(got.at(0).signature + " " + got.at(0).arguments, "sas \"t\" [\"/a\", \"/b\"]");
}

}  // namespace
