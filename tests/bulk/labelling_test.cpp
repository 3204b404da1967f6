// The bulk labelling calls against the stand-in service: what reaches it, what
// is refused before the bus, how failures map, and lists of every size.
#include <gtest/gtest.h>
#include <zorv/labelmgr.hpp>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "client/bus_strings.h"
#include "log_capture.h"
#include "test_bus.h"

using zorvtest::WireValue;

namespace {

// A null-terminated char* array over `paths` (which may hold nulls itself).
struct List {
    std::vector<char*> items;
    List(std::initializer_list<const char*> paths) {
        for (const char* p : paths) items.push_back(const_cast<char*>(p));
        items.push_back(nullptr);
    }
    operator char**() { return items.data(); }
};

struct Bulk : ::testing::Test {
    void SetUp() override {
        standin.reset();
        char pattern[] = "/tmp/zorv-bulk-XXXXXX";
        dir = ::mkdtemp(pattern);
        std::filesystem::create_directory(dir + "/tree");
        std::filesystem::create_directory_symlink(dir + "/tree", dir + "/link");
        fclose(fopen((dir + "/file").c_str(), "w"));
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    // Each message logged, one per line.
    std::string logged() const {
        std::string all;
        for (const auto& line : log.lines()) all += line.message + "\n";
        return all;
    }
    // Whether the log holds the pieces of `pattern` between its '*'s in order.
    bool loggedInOrder(const std::string& pattern) const {
        const std::string all = logged();
        size_t at = 0;
        for (size_t from = 0, star; from <= pattern.size(); from = star + 1) {
            star = std::min(pattern.find('*', from), pattern.size());
            at = all.find(pattern.substr(from, star - from), at);
            if (at == std::string::npos) return false;
        }
        return true;
    }
    zorvtest::Standin standin;
    zorvtest::LogCapture log;
    std::string dir;
};

TEST_F(Bulk, EachCallSendsWhatItWasGiven) {
    const std::string tree = dir + "/tree";
    struct Case {
        std::function<int()> call;
        const char *member, *signature;
        std::string arguments;
        const char* logs;
    } cases[] = {
        {[] { return setLabelForPkg(List{"/a", "/b\xC3\xA9", "/a"}, 3, "pkg"); }, "setLabelForPkg", "assu",
         R"(["/a", "/b)" "\xC3\xA9" R"(", "/a"] "pkg" 1)",
         "index 2, pkgname pkg, file /a\n[setLabelForPkg:*] Start setting label for pkg (3 files)"},
        {[] { return setLabelForLunvex(List{"/x", "/x"}, "app"); }, "setLabelForPkg", "assu",
         R"(["/x", "/x"] "app" 4)", "index 1, appName app, file /x\n*Lunvex app app (2 files)"},
        {[] { return setLabelForDrova(List{"/d"}, "dapp"); }, "setLabelForPkg", "assu", R"(["/d"] "dapp" 3)",
         "drova app dapp (1 files)"},
        {[&] { return setLabelForLunvexInterpreter(tree.c_str()); }, "setLabelForLunvexInterpreter", "s",
         '"' + tree + '"', "lunvex interpreter, base path: /tmp"},
        {[&] { return setLabelForDrovaInterpreter(tree.c_str()); }, "setLabelForDrovaInterpreter", "s",
         '"' + tree + '"', "drova interpreter, base path: /tmp"},
        {[] { return setLabelForDrovaBaseFiles(List{"a", "b", "a"}, List{"x", "y", "z"}); },
         "setLabelForDrovaBaseFiles", "a{ss}", R"({"a": "z", "b": "y"})", "drova base files (3 files)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logs);
        standin.reset();
        log.clear();
        EXPECT_EQ(c.call(), 0);
        auto got = standin.received();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].member, c.member);
        EXPECT_EQ(got[0].signature, c.signature);
        EXPECT_EQ(got[0].arguments, c.arguments);
        EXPECT_TRUE(loggedInOrder(c.logs)) << logged();
        EXPECT_TRUE(log.contains("#zorv_labelmgr, set "));  // the timer
    }
}

TEST_F(Bulk, BadArgumentsAreRefusedBeforeTheBus) {
    const std::string file = dir + "/file", link = dir + "/link", missing = dir + "/missing";
    std::vector<std::pair<std::function<int()>, std::string>> cases = {
        {[] { return setLabelForPkg(List{"/a"}, 0, "p"); }, "Invalid parameters: files=0x"},
        {[] { return setLabelForPkg(nullptr, 1, "p"); }, "Invalid parameters: files=(nil), size=1"},
        {[] { return setLabelForPkg(List{"/a"}, 1, nullptr); }, "pkgname=(nil)"},
        {[] { return setLabelForPkg(List{"/a", "/b", nullptr}, 3, "p"); }, "file /b\n*Empty path at index 2"},
        {[] { return setLabelForPkg(List{"/a"}, 1, "p\xC3"); }, "Invalid UTF-8 sequence in pkgname: p"},
        {[] { return setLabelForLunvex(List{nullptr}, "a"); }, "Empty file list"},
        {[] { return setLabelForLunvex(List{"/a", ""}, "a"); }, "Empty path at index 1"},
        {[] { return setLabelForDrova(List{"/a"}, nullptr); }, "Invalid parameters: files=0x*, appName=(nil)"},
        {[] { return setLabelForDrova(List{"/a"}, "\xC0\xAF"); }, "Invalid UTF-8 sequence in appName"},
        {[] { return setLabelForLunvexInterpreter(nullptr); }, "Invalid parameters: path=(nil)"},
        {[] { return setLabelForDrovaInterpreter("/\xED\xA0\x80"); }, "Invalid UTF-8 sequence in path"},
        {[&] { return setLabelForDrovaInterpreter(link.c_str()); }, "path is link file, *\n*Invalid path: /tmp"},
        {[&] { return setLabelForLunvexInterpreter(file.c_str()); }, "path is not dir, *\n*Invalid path: /tmp"},
        {[&] { return setLabelForDrovaInterpreter(missing.c_str()); }, "path not exist, *\n*Invalid path: /tmp"},
        {[] { return setLabelForDrovaBaseFiles(List{"a"}, nullptr); }, "drovaFiles=0x*, hostFiles=(nil)"},
        {[] { return setLabelForDrovaBaseFiles(List{nullptr}, List{"x"}); }, "Empty file list"},
        {[] { return setLabelForDrovaBaseFiles(List{"a", "b", "c"}, List{"x", "y"}); }, "null at index 2"},
        {[] { return setLabelForDrovaBaseFiles(List{"a"}, List{""}); }, "Empty path: drovaFile='a', hostFile=''"},
        {[] { return setLabelForDrovaBaseFiles(List{"a", "\xF5\x80\x80\x80"}, List{"x", "y"}); },
         "Invalid UTF-8 in drova file path[1]"},
        {[] { return setLabelForDrovaBaseFiles(List{"a"}, List{"\xE0\x80\x80"}); }, "in host file path[0]"},
    };
    // Whatever the bus would refuse: truncated, stray continuation, 5-byte
    // form, overlong forms, surrogate, beyond U+10FFFF.
    for (const char* bad : {"\xC3", "\x80", "\xF8\x88\x80\x80\x80", "\xC0\x80", "\xE0\x80\x80", "\xF0\x80\x80\x80",
                            "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80"})
        cases.push_back({[bad] { return setLabelForPkg(List{"/ok", bad}, 2, "p"); }, "file path[1]: "});
    for (const auto& [call, message] : cases) {
        log.clear();
        EXPECT_EQ(call(), -1) << message;
        EXPECT_TRUE(loggedInOrder(message)) << message << "\n" << logged();
        EXPECT_TRUE(log.contains("execution time")) << message;
    }
    EXPECT_TRUE(standin.received().empty());
    // Valid, if unusual: the largest code point, a noncharacter.
    EXPECT_EQ(setLabelForPkg(List{"/\xF4\x8F\xBF\xBF", "/\xEF\xBF\xBE"}, 2, "p"), 0);
}

TEST_F(Bulk, FailuresMapToTheirStatus) {
    const std::string tree = dir + "/tree";
    const std::function<int()> pkg = [] { return setLabelForLunvex(List{"/a"}, "a"); },
                               interpreter = [&] { return setLabelForDrovaInterpreter(tree.c_str()); },
                               baseFiles = [] { return setLabelForDrovaBaseFiles(List{"a"}, List{"b"}); };
    struct Case {
        const char* member;
        std::vector<WireValue> reply;  // empty: an error reply
        const std::function<int()>& call;
        int expected;
        const char* logs;
    } cases[] = {
        {"setLabelForPkg", {}, pkg, -2, "DBus error (name=com.nimbo.Denied, message=no)"},
        {"setLabelForDrovaInterpreter", {}, interpreter, -2, "DBus error (name=com.nimbo.Denied"},
        {"setLabelForDrovaBaseFiles", {}, baseFiles, -1, "DBus error (name=com.nimbo.Denied"},
        {"setLabelForPkg", {WireValue(uint32_t(0))}, pkg, -2, "InvalidArgs, message=type mismatch"},
        {"setLabelForPkg", {WireValue(5)}, pkg, 5, "Failed to set label (error code=5)"},
        {"setLabelForDrovaInterpreter", {WireValue(-7)}, interpreter, -7, "drova interpreter (error code=-7)"},
        {"setLabelForDrovaBaseFiles", {WireValue(9)}, baseFiles, 9, "drova base files (error code=9)"},
    };
    for (const Case& c : cases) {
        if (c.reply.empty())
            standin.error(c.member, "com.nimbo.Denied", "no");
        else
            standin.reply(c.member, c.reply);
        log.clear();
        EXPECT_EQ(c.call(), c.expected) << c.logs;
        EXPECT_TRUE(log.contains(c.logs)) << logged();
        standin.reset();
    }
}

TEST_F(Bulk, ListsUpToOneBusMessageGoWholeLargerOnesNotAtAll) {
    std::vector<std::string> names(100000);
    std::vector<char*> files;
    for (size_t i = 0; i < names.size(); ++i) files.push_back(&(names[i] = "/p/" + std::to_string(i))[0]);
    log.clear();
    EXPECT_EQ(setLabelForPkg(files.data(), int(files.size()), "big"), 0);
    auto got = standin.received();
    ASSERT_EQ(got.size(), 1u);
    const std::string& sent = got[0].arguments;
    EXPECT_EQ(sent.substr(0, 20), R"(["/p/0", "/p/1", "/p)");
    EXPECT_EQ(sent.substr(sent.size() - 19), R"("/p/99999"] "big" 1)");
    std::string all = logged();
    size_t perFile = 0;
    for (size_t at = 0; (at = all.find("pkgname big, file /p/", at)) != std::string::npos; ++at) ++perFile;
    EXPECT_EQ(perFile, names.size());

    // The largest list the limit lets through reaches the service; one byte
    // more, or 64 MiB of paths, is refused with nothing sent.
    std::string chunk(1023, 'c');  // 4 + 1023 + 1 bytes on the wire, no padding
    size_t body = 4 + 8 + 4;        // array length, "p" and the type
    std::vector<char*> big;
    for (; body + 1028 <= zorv::kMaxArgumentBytes; body += 1028) big.push_back(&chunk[0]);
    const size_t tailLength = zorv::kMaxArgumentBytes - body - 5;
    std::string tail(tailLength + 1, 't');
    tail[tailLength] = '\0';
    big.push_back(&tail[0]);
    standin.reset();
    EXPECT_EQ(setLabelForPkg(big.data(), int(big.size()), "p"), 0);
    tail[tailLength] = 't';
    EXPECT_EQ(setLabelForPkg(big.data(), int(big.size()), "p"), -1);
    std::string mib(1 << 20, 'm');
    std::vector<char*> huge(65, &mib[0]);
    EXPECT_EQ(setLabelForLunvex(List{huge[0], huge[1]}, "a"), 0);
    huge.push_back(nullptr);
    EXPECT_EQ(setLabelForLunvex(huge.data(), "a"), -1);
    EXPECT_TRUE(log.contains("File list too large for one bus message: 68157"));
    EXPECT_EQ(standin.received().size(), 2u);
}

TEST_F(Bulk, TheLongTimeoutIsTheCallsOwn) {
    // A thread blocked for its reply on the shared connection holds its I/O
    // until the reply or its timeout: the per-file call goes first, the bulk
    // call leaves when it has timed out.
    standin.delay("getFileTid", 6000);
    standin.delay("setLabelForPkg", 7000);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    double perFileSeconds = 0;
    std::thread perFile([&] {
        unsigned int tid = 0;
        EXPECT_EQ(getFileTid("/p", &tid), -2);
        perFileSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(setLabelForPkg(List{"/slow"}, 1, "slow"), 0);
    const double bulkSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    perFile.join();
    EXPECT_GT(perFileSeconds, 4.5);
    EXPECT_LT(perFileSeconds, 6.0);
    EXPECT_GT(bulkSeconds, perFileSeconds + 6.9);
    EXPECT_TRUE(log.contains("[getFileTid:") && log.contains("NoReply"));
}

}  // namespace
