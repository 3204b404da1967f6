// The library's calls against the stand-in: what goes on the wire, how replies map, what never reaches the bus.
#include <gtest/gtest.h>
#include <dbus-c++/dbus.h>
#include <zorv/labelmgr.hpp>

#include <cstring>

#include "id_equality.h"
#include "log_capture.h"
#include "protocol/service_names.h"
#include "standin_control.h"
#include "wait_until.h"

using zorvtest::WireValue;

namespace {

using Dict = std::map<std::string, uint64_t>;
using Oids = std::map<std::string, ZORV_ID>;
const ZORV_ID kId = {1, 2, 3};
const std::string kIdText = R"({"file_id": 2, "path_id": 3, "pkg_id": 1})";

// The record's path, and the identifier in the 24 bytes at offset 4096.
void expectRecord(const UserSetRecord& r, const std::string& path, ZORV_ID id) {
    EXPECT_EQ(r.path, path);
    EXPECT_EQ(std::memcmp(reinterpret_cast<const char*>(&r) + 4096, &id, sizeof id), 0) << path;
}

struct Calls : zorvtest::StandinTest {
    zorvtest::LogCapture log;
};

// What each call sends and how its reply maps: package identifier calls succeed on 0 only, the others fail on -1 only.
TEST_F(Calls, EachCallSendsItsArgumentsAndMapsTheReply) {
    const std::tuple<std::string, std::function<int()>, int32_t, int> calls[] = {  // sent, call, reply, result
        {"setPkgId st \"/a\" 77", [] { return setPkgId("/a", 77); }, 0, 0},
        {"delUserSetPkgId s \"/a\"", [] { return delUserSetPkgId("/a"); }, 1, -1},
        {"delAllUserSetPkgId  ", [] { return clearUserSetPkgId(); }, -1, -1},
        {"setFileOid sa{st}i \"/a\" " + kIdText + " -7", [] { return setFileOid("/a", kId, -7); }, 1, 0},
        {"delUserSetFileOid si \"/a\" 4", [] { return delFileOid("/a", 4); }, -1, -1},
        {"setFileSid sa{st}i \"/a\" " + kIdText + " 0", [] { return setFileSid("/a", kId, 0); }, 0, 0},
        {"delUserSetFileSid si \"/a\" 5", [] { return delFileSid("/a", 5); }, 3, 0},
        {"delAllUserSetFileSid  ", [] { return clearFileSid(); }, -2, 0},
        {"setFileTid sui \"/a\" 4294967295 2", [] { return setFileTid("/a", 0xFFFFFFFFu, 2); }, -1, -1},
        {"delUserSetFileTid si \"/a\" 6", [] { return delFileTid("/a", 6); }, 1, 0},
        {"setFileInheritFlag sui \"/a\" 0 1", [] { return setFileInheritFlag("/a", 0, 1); }, -1, -1},
        {"delUserSetFileInheritFlag si \"/a\" 8", [] { return delFileInheritFlag("/a", 8); }, 0, 0},
    };
    for (const auto& [sent, call, reply, result] : calls) {
        standin.reset();
        standin.reply(sent.substr(0, sent.find(' ')), {reply});
        EXPECT_EQ(call(), result) << sent << " replying " << reply;
        auto got = standin.received();
        ASSERT_EQ(got.size(), 1u) << sent;
        EXPECT_EQ(got[0].member + " " + got[0].signature + " " + got[0].arguments, sent);
    }
    // A getter stores what the service sent, then reports the all-ones "none" as -1.
    unsigned int tid = 0;
    for (uint32_t v : {0xFFFFFFFFu, 0xFFFFFFFEu}) {
        standin.reply("getFileTid", {v});
        EXPECT_EQ(getFileTid("/p", &tid), v == 0xFFFFFFFFu ? -1 : 0);
        EXPECT_EQ(tid, v);
    }
    unsigned long pkg = 0;
    for (uint64_t v : {UINT64_MAX, uint64_t(1) << 40}) {
        standin.reply("getPkgId", {v});
        EXPECT_EQ(getPkgId("/p", &pkg), v == UINT64_MAX ? -1 : 0);
        EXPECT_EQ(pkg, v);
    }
    // An identifier is "none" only when all three fields are; absent keys read as 0, unknown ones are ignored.
    const uint64_t m = UINT64_MAX;
    const std::tuple<Dict, int, ZORV_ID> cases[] = {
        {{{"pkg_id", m}, {"file_id", m}, {"path_id", m}}, -1, {0, 0, 0}},
        {{{"pkg_id", m}, {"file_id", 7}, {"path_id", m}}, 0, {m, 7, m}},
        {{{"file_id", 4}, {"other", 8}}, 0, {0, 4, 0}},
    };
    for (const auto& [reply, result, expected] : cases)
        for (auto [member, getter] : {std::make_pair("getFileOid", getFileOid), std::make_pair("getFileSid", getFileSid)}) {
            ZORV_ID id = {9, 9, 9};
            standin.reply(member, {reply});
            EXPECT_EQ(getter("/p", &id), result) << member;
            EXPECT_EQ(id, expected) << member;
        }
}

// A malformed reply, an error reply, and no reply within five seconds give -2 and leave the result alone.
TEST_F(Calls, MalformedErrorAndLateRepliesGiveMinusTwo) {
    unsigned int tid = 3;
    standin.reply("getFileTid", {int32_t(5)});
    EXPECT_EQ(getFileTid("/p", &tid), -2);
    EXPECT_EQ(tid, 3u);
    EXPECT_TRUE(log.contains("DBus error occurred: org.freedesktop.DBus.Error.InvalidArgs, type mismatch"));
    ZORV_ID id{};
    standin.reply("getFileOid", {uint32_t(1)});
    standin.reply("delAllUserSetFileTid", {});
    EXPECT_EQ(getFileOid("/p", &id), -2);
    EXPECT_EQ(clearFileTid(), -2);

    standin.error("delUserSetFileOid", "com.nimbo.zorv.Error.Denied", "not allowed");
    log.clear();
    EXPECT_EQ(delFileOid("/p", 0), -2);
    auto lines = log.matching("DBus error occurred: com.nimbo.zorv.Error.Denied, not allowed");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].message.find("[delFileOid:"), std::string::npos);  // the exported name, not the member

    standin.delay("getFileTid", 6500);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(getFileTid("/p", &tid), -2);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(seconds > 4.5 && seconds < 6.4) << seconds;
    EXPECT_EQ(tid, 3u);
    EXPECT_TRUE(log.contains("org.freedesktop.DBus.Error.NoReply"));
    // The late reply, sent before the next call, is dropped; that call is answered as usual.
    standin.reset();
    standin.sendPending();
    EXPECT_EQ(getFileTid("/p", &tid), 0);
    EXPECT_EQ(tid, 1u);
}

// Missing arguments are refused silently, a string the bus would reject with an error in the caller's name; unsent.
TEST_F(Calls, BadArgumentsNeverReachTheBus) {
    unsigned long l = 0;
    unsigned int tid = 0;
    ZORV_ID id{};
    const std::vector<int> missing = {getPkgId(nullptr, &l), getFileTid("/p", nullptr), getFileOid(nullptr, &id),
                                      getFileSid("/p", nullptr), setFileOid(nullptr, id, 0),
                                      delFileInheritFlag(nullptr, 0), setFileTid("/p", 0, 0) /* no Tid 0 either */};
    EXPECT_EQ(missing, std::vector<int>(missing.size(), -1));
    EXPECT_EQ(log.size(), 0u);

    const char* bad = "/a\xC0\xAF";  // an overlong '/'
    EXPECT_EQ(std::vector<int>({getFileTid(bad, &tid), setFileOid(bad, id, 0), delUserSetPkgId(bad)}),
              std::vector<int>(3, -1));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].message.find("[getFileTid:"), std::string::npos);
    EXPECT_NE(lines[1].message.find("[setFileOid:"), std::string::npos);
    EXPECT_EQ(lines[2].priority, log4cpp::Priority::ERROR);
    log.clear();
    const char* names[] = {"ok", bad};
    Oids oids;
    EXPECT_EQ(getDeviceOids({"ok", bad}, oids), -2);
    EXPECT_EQ(getPkgIds(names, 2, &l), -1);
    addTagFullSystem("tag", {"ok", bad});
    EXPECT_EQ(log.matching("Invalid UTF-8").size(), 3u);
    EXPECT_TRUE(standin.received().empty());
    EXPECT_EQ(getFileTid("/caf\xC3\xA9", &tid), 0);  // é is fine
}

TEST_F(Calls, ConcurrentCallsEachGetTheirOwnAnswer) {
    standin.reply("getFileTid", {uint32_t(7)});
    standin.reply("getFileInheritFlag", {uint32_t(9)});
    standin.reply("getPkgId", {uint64_t(11)});
    standin.reply("getFileOid", {Dict{{"pkg_id", 1}, {"file_id", 2}, {"path_id", 3}}});
    const std::function<bool()> rightlyAnswered[] = {
        [] { unsigned int u = 0; return getFileTid("/p", &u) == 0 && u == 7; },
        [] { unsigned int u = 0; return getFileInheritFlag("/p", &u) == 0 && u == 9; },
        [] { unsigned long l = 0; return getPkgId("/p", &l) == 0 && l == 11; },
        [] { ZORV_ID id{}; return getFileOid("/p", &id) == 0 && id.file_id == 2 && id.path_id == 3; },
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i) wrong += !rightlyAnswered[(t + i) % 4]();
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(standin.received().size(), 8u * 150u);
}

TEST_F(Calls, RecordsComeInByteOrderOfTheirPaths) {
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

    // A path too long for the record is left out but counted; a reply of another shape gives -2.
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

// Lookups and string results: what they send, how much of the caller's storage they write, how they fail.
TEST_F(Calls, LookupsAndStringResults) {
    unsigned long pkg = 42;
    std::pair<Dict, std::pair<int, unsigned long>> cases[] = {{{}, {1, 42}}, {{{"/other", 9}}, {0, 0}}, {{{"/other", 9}, {"/p", 11}}, {0, 11}}};
    for (auto& [reply, expected] : cases) {
        standin.reply("queryUserSetPkgId", {reply});
        EXPECT_EQ(queryUserSetPkgId("/p", &pkg), expected.first);
        EXPECT_EQ(pkg, expected.second);
    }
    EXPECT_EQ(std::make_pair(queryUserSetPkgId(nullptr, &pkg), queryUserSetPkgId("/p", nullptr)), std::make_pair(-1, -1));

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

    standin.reset();
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

// The bulk and full-system calls wait longer than the others; a call on another thread keeps the usual five seconds.
TEST_F(Calls, LongCallsWaitLongerThanOtherCalls) {
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

// The exported proxy on the library's shared connection, for callers who use dbus-c++; the library's calls go on.
TEST_F(Calls, ProxySendsOnTheSharedConnection) {
    standin.reply("setLabelForPkg", {int32_t(3)});
    {
        LabelMgrClient client(DBusConnectionManager::getInstance()->getConnection(), zorv::protocol::kObjectPath,
                              zorv::protocol::kServiceName);
        EXPECT_EQ(client.setLabelForPkg({"/usr/bin/a", "/usr/bin/b"}, "pkg", 1u), 3);
    }
    auto got = standin.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].member + " " + got[0].signature + " " + got[0].arguments,
              R"(setLabelForPkg assu ["/usr/bin/a", "/usr/bin/b"] "pkg" 1)");
    unsigned int tid = 0;
    EXPECT_EQ(getFileTid("/p", &tid), 0);
}

}  // namespace
