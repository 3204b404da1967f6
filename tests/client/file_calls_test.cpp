// The per-file calls against the stand-in service: what goes on the wire, how
// each reply becomes a result, and what happens when a call cannot complete.
#include <gtest/gtest.h>
#include <zorv/labelmgr.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <tuple>

#include "log_capture.h"
#include "id_equality.h"
#include "standin_control.h"

namespace {

using Dict = std::map<std::string, uint64_t>;
const ZORV_ID kId = {1, 2, 3};
const std::string kIdText = R"({"file_id": 2, "path_id": 3, "pkg_id": 1})";

using FileCalls = zorvtest::StandinTest;

// What each call sends and how its reply maps: package identifier calls succeed on 0 only, the others fail on
// -1 only. The getters and the other clearing calls run end to end in the service test.
TEST_F(FileCalls, EachCallSendsItsArgumentsAndMapsTheReply) {
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
    // An identifier is "none" only when all three fields are; absent keys read
    // as 0 and unknown ones are ignored.
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

// Missing arguments are refused silently; a string the bus would reject is
// refused with an error in the caller's name. Either way nothing is sent.
TEST_F(FileCalls, BadArgumentsNeverReachTheBus) {
    zorvtest::LogCapture log;
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
    EXPECT_TRUE(standin.received().empty());
    EXPECT_EQ(getFileTid("/caf\xC3\xA9", &tid), 0);  // é is fine
}

TEST_F(FileCalls, MalformedAndErrorRepliesGiveMinusTwo) {
    zorvtest::LogCapture log;
    unsigned int tid = 0;
    standin.reply("getFileTid", {int32_t(5)});
    EXPECT_EQ(getFileTid("/p", &tid), -2);
    EXPECT_EQ(tid, 0u);
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
}

TEST_F(FileCalls, ASlowServiceTimesOutAfterFiveSeconds) {
    zorvtest::LogCapture log;
    standin.delay("getFileTid", 6500);
    unsigned int tid = 3;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(getFileTid("/p", &tid), -2);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(seconds > 4.5 && seconds < 6.4) << seconds;
    EXPECT_EQ(tid, 3u);
    EXPECT_TRUE(log.contains("org.freedesktop.DBus.Error.NoReply"));
    // The late reply, sent before the next call, is dropped; that call is
    // answered as usual.
    standin.reset();
    standin.sendPending();
    EXPECT_EQ(getFileTid("/p", &tid), 0);
    EXPECT_EQ(tid, 1u);
}

TEST_F(FileCalls, ConcurrentCallsEachGetTheirOwnAnswer) {
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

}  // namespace
