// The per-file calls against the stand-in service: what goes on the wire, how
// each reply becomes a result, and what happens when a call cannot complete.
#include <gtest/gtest.h>
#include <zorv/labelmgr.h>

#include <log4cpp/Priority.hh>

#include <chrono>
#include <functional>
#include <thread>

#include "log_capture.h"
#include "test_bus.h"

using zorvtest::LogCapture;
using zorvtest::Standin;
using zorvtest::WireValue;

namespace {

using Dict = std::map<std::string, uint64_t>;
const ZORV_ID kId = {1, 2, 3};

struct Case {
    const char* function;
    const char* member;
    const char* signature;
    const char* arguments;
    std::function<int()> call;
};

// Every per-file call with its expected wire form, for the path "/etc/a".
const std::vector<Case>& allCalls() {
    static unsigned long pkg;
    static unsigned int u32;
    static ZORV_ID id;
    static const std::vector<Case> cases = {
        {"getPkgId", "getPkgId", "s", "\"/etc/a\"", [] { return getPkgId("/etc/a", &pkg); }},
        {"setPkgId", "setPkgId", "st", "\"/etc/a\" 77", [] { return setPkgId("/etc/a", 77); }},
        {"delUserSetPkgId", "delUserSetPkgId", "s", "\"/etc/a\"", [] { return delUserSetPkgId("/etc/a"); }},
        {"clearUserSetPkgId", "delAllUserSetPkgId", "", "", [] { return clearUserSetPkgId(); }},
        {"getFileOid", "getFileOid", "s", "\"/etc/a\"", [] { return getFileOid("/etc/a", &id); }},
        {"setFileOid", "setFileOid", "sa{st}i", "\"/etc/a\" {\"file_id\": 2, \"path_id\": 3, \"pkg_id\": 1} -7",
         [] { return setFileOid("/etc/a", kId, -7); }},
        {"delFileOid", "delUserSetFileOid", "si", "\"/etc/a\" 4", [] { return delFileOid("/etc/a", 4); }},
        {"clearFileOid", "delAllUserSetFileOid", "", "", [] { return clearFileOid(); }},
        {"getFileSid", "getFileSid", "s", "\"/etc/a\"", [] { return getFileSid("/etc/a", &id); }},
        {"setFileSid", "setFileSid", "sa{st}i", "\"/etc/a\" {\"file_id\": 2, \"path_id\": 3, \"pkg_id\": 1} 0",
         [] { return setFileSid("/etc/a", kId, 0); }},
        {"delFileSid", "delUserSetFileSid", "si", "\"/etc/a\" 5", [] { return delFileSid("/etc/a", 5); }},
        {"clearFileSid", "delAllUserSetFileSid", "", "", [] { return clearFileSid(); }},
        {"getFileTid", "getFileTid", "s", "\"/etc/a\"", [] { return getFileTid("/etc/a", &u32); }},
        {"setFileTid", "setFileTid", "sui", "\"/etc/a\" 4294967295 2",
         [] { return setFileTid("/etc/a", 0xFFFFFFFFu, 2); }},
        {"delFileTid", "delUserSetFileTid", "si", "\"/etc/a\" 6", [] { return delFileTid("/etc/a", 6); }},
        {"clearFileTid", "delAllUserSetFileTid", "", "", [] { return clearFileTid(); }},
        {"getFileInheritFlag", "getFileInheritFlag", "s", "\"/etc/a\"",
         [] { return getFileInheritFlag("/etc/a", &u32); }},
        {"setFileInheritFlag", "setFileInheritFlag", "sui", "\"/etc/a\" 0 1",
         [] { return setFileInheritFlag("/etc/a", 0, 1); }},
        {"delFileInheritFlag", "delUserSetFileInheritFlag", "si", "\"/etc/a\" 8",
         [] { return delFileInheritFlag("/etc/a", 8); }},
        {"clearFileInheritFlag", "delAllUserSetFileInheritFlag", "", "", [] { return clearFileInheritFlag(); }},
    };
    return cases;
}

class FileCalls : public ::testing::Test {
protected:
    void SetUp() override { standin.reset(); }
    Standin standin;
};

TEST_F(FileCalls, EachCallSendsItsMemberSignatureAndArguments) {
    for (const Case& c : allCalls()) {
        SCOPED_TRACE(c.function);
        standin.reset();
        EXPECT_EQ(c.call(), 0);
        auto got = standin.received();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].member, c.member);
        EXPECT_EQ(got[0].signature, c.signature);
        EXPECT_EQ(got[0].arguments, c.arguments);
    }
}

TEST_F(FileCalls, StatusRepliesFollowTheirRule) {
    // Package-identifier calls succeed on 0 only; the others fail on -1 only.
    struct Rule {
        const char* member;
        std::function<int()> call;
        int32_t reply;
        int expected;
    } rules[] = {
        {"setPkgId", [] { return setPkgId("/p", 1); }, 1, -1},
        {"setPkgId", [] { return setPkgId("/p", 1); }, 0, 0},
        {"delUserSetPkgId", [] { return delUserSetPkgId("/p"); }, -1, -1},
        {"delAllUserSetPkgId", [] { return clearUserSetPkgId(); }, 3, -1},
        {"setFileTid", [] { return setFileTid("/p", 5, 0); }, 1, 0},
        {"setFileTid", [] { return setFileTid("/p", 5, 0); }, -1, -1},
        {"delUserSetFileOid", [] { return delFileOid("/p", 0); }, -1, -1},
        {"delAllUserSetFileSid", [] { return clearFileSid(); }, -2, 0},
        {"setFileInheritFlag", [] { return setFileInheritFlag("/p", 1, 0); }, -1, -1},
    };
    for (const Rule& r : rules) {
        standin.reply(r.member, {WireValue(r.reply)});
        EXPECT_EQ(r.call(), r.expected) << r.member << " replying " << r.reply;
    }
}

TEST_F(FileCalls, ValueGettersStoreTheReplyBeforeTestingIt) {
    unsigned int tid = 0;
    standin.reply("getFileTid", {WireValue(uint32_t(0xFFFFFFFF))});
    EXPECT_EQ(getFileTid("/p", &tid), -1);
    EXPECT_EQ(tid, 0xFFFFFFFFu);
    standin.reply("getFileTid", {WireValue(uint32_t(0xFFFFFFFE))});
    EXPECT_EQ(getFileTid("/p", &tid), 0);
    EXPECT_EQ(tid, 0xFFFFFFFEu);

    unsigned long pkg = 0;
    standin.reply("getPkgId", {WireValue(uint64_t(UINT64_MAX))});
    EXPECT_EQ(getPkgId("/p", &pkg), -1);
    EXPECT_EQ(pkg, UINT64_MAX);
    standin.reply("getPkgId", {WireValue(uint64_t(1) << 40)});
    EXPECT_EQ(getPkgId("/p", &pkg), 0);
    EXPECT_EQ(pkg, 1ul << 40);
}

TEST_F(FileCalls, IdentifierGettersReadTheDictionary) {
    ZORV_ID id = {9, 9, 9};
    standin.reply("getFileOid", {WireValue(Dict{{"pkg_id", UINT64_MAX}, {"file_id", UINT64_MAX}, {"path_id", UINT64_MAX}})});
    EXPECT_EQ(getFileOid("/p", &id), -1);
    EXPECT_EQ(id.pkg_id | id.file_id | id.path_id, 0u);

    standin.reply("getFileOid", {WireValue(Dict{{"pkg_id", UINT64_MAX}, {"file_id", 7}, {"path_id", UINT64_MAX}})});
    EXPECT_EQ(getFileOid("/p", &id), 0);
    EXPECT_EQ(id.pkg_id, UINT64_MAX);
    EXPECT_EQ(id.file_id, 7u);
    EXPECT_EQ(id.path_id, UINT64_MAX);

    // Absent keys read as 0, unknown keys are ignored.
    standin.reply("getFileSid", {WireValue(Dict{{"file_id", 4}, {"other", 8}})});
    EXPECT_EQ(getFileSid("/p", &id), 0);
    EXPECT_EQ(id.pkg_id, 0u);
    EXPECT_EQ(id.file_id, 4u);
    EXPECT_EQ(id.path_id, 0u);
}

TEST_F(FileCalls, MissingArgumentsAreRefusedSilently) {
    LogCapture log;
    unsigned long l = 0;
    ZORV_ID id{};
    // One of each shape: value getter, identifier getter, path call.
    EXPECT_EQ(getPkgId(nullptr, &l), -1);
    EXPECT_EQ(getFileTid("/p", nullptr), -1);
    EXPECT_EQ(getFileOid(nullptr, &id), -1);
    EXPECT_EQ(getFileSid("/p", nullptr), -1);
    EXPECT_EQ(setFileOid(nullptr, id, 0), -1);
    EXPECT_EQ(delFileInheritFlag(nullptr, 0), -1);
    EXPECT_EQ(setFileTid("/p", 0, 0), -1);  // a Tid of 0 is refused as well
    EXPECT_TRUE(standin.received().empty());
    EXPECT_EQ(log.size(), 0u);
}

TEST_F(FileCalls, InvalidUtf8IsRefusedBeforeTheBus) {
    LogCapture log;
    unsigned int tid = 0;
    ZORV_ID id{};
    // A lone lead byte, an overlong '/', a UTF-16 surrogate, a code point past U+10FFFF.
    for (const char* bad : {"\xC3", "/a\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80"}) {
        log.clear();
        EXPECT_EQ(getFileTid(bad, &tid), -1);
        EXPECT_EQ(setFileOid(bad, id, 0), -1);
        EXPECT_EQ(delUserSetPkgId(bad), -1);
        auto lines = log.lines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_NE(lines[0].message.find("[getFileTid:"), std::string::npos);
        EXPECT_NE(lines[1].message.find("[setFileOid:"), std::string::npos);
        EXPECT_EQ(lines[0].priority, log4cpp::Priority::ERROR);
    }
    EXPECT_TRUE(standin.received().empty());
    EXPECT_EQ(getFileTid("/caf\xC3\xA9", &tid), 0);  // é is fine
}

TEST_F(FileCalls, MalformedAndErrorRepliesGiveMinusTwo) {
    LogCapture log;
    unsigned int tid = 0;
    standin.reply("getFileTid", {WireValue(int32_t(5))});
    EXPECT_EQ(getFileTid("/p", &tid), -2);
    EXPECT_EQ(tid, 0u);
    EXPECT_TRUE(log.contains("[getFileTid:"));
    EXPECT_TRUE(log.contains("DBus error occurred: org.freedesktop.DBus.Error.InvalidArgs, type mismatch"));

    ZORV_ID id{};
    standin.reply("getFileOid", {WireValue(uint32_t(1))});
    EXPECT_EQ(getFileOid("/p", &id), -2);
    EXPECT_TRUE(log.contains("dictionary value expected"));

    standin.reply("delAllUserSetFileTid", {});
    EXPECT_EQ(clearFileTid(), -2);

    standin.error("delUserSetFileOid", "com.nimbo.zorv.Error.Denied", "not allowed");
    log.clear();
    EXPECT_EQ(delFileOid("/p", 0), -2);
    auto lines = log.matching("DBus error occurred: com.nimbo.zorv.Error.Denied, not allowed");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].message.find("[delFileOid:"), std::string::npos);  // the exported name, not the member
}

TEST_F(FileCalls, ASlowServiceTimesOutAfterFiveSeconds) {
    LogCapture log;
    standin.delay("getFileTid", 6500);
    unsigned int tid = 3;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(getFileTid("/p", &tid), -2);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(seconds, 4.5);
    EXPECT_LT(seconds, 6.4);
    EXPECT_EQ(tid, 3u);
    EXPECT_TRUE(log.contains("org.freedesktop.DBus.Error.NoReply"));
    // The late reply is dropped; the next call is answered as usual.
    standin.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    EXPECT_EQ(getFileTid("/p", &tid), 0);
    EXPECT_EQ(tid, 1u);
}

TEST_F(FileCalls, ConcurrentCallsEachGetTheirOwnAnswer) {
    standin.reply("getFileTid", {WireValue(uint32_t(7))});
    standin.reply("getFileInheritFlag", {WireValue(uint32_t(9))});
    standin.reply("getPkgId", {WireValue(uint64_t(11))});
    standin.reply("getFileOid", {WireValue(Dict{{"pkg_id", 1}, {"file_id", 2}, {"path_id", 3}})});
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 150; ++i) {
                unsigned int u = 0;
                unsigned long l = 0;
                ZORV_ID id{};
                switch ((t + i) % 4) {
                    case 0: wrong += getFileTid("/p", &u) != 0 || u != 7; break;
                    case 1: wrong += getFileInheritFlag("/p", &u) != 0 || u != 9; break;
                    case 2: wrong += getPkgId("/p", &l) != 0 || l != 11; break;
                    default: wrong += getFileOid("/p", &id) != 0 || id.file_id != 2 || id.path_id != 3; break;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(standin.received().size(), 8u * 150u);
}

}  // namespace
