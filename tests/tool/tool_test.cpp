// zorv-label end to end: the tool as a process against the label manager
// service on a private bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "scratch_dir.h"
#include "service_daemon.h"

extern char** environ;

namespace {

using Json = nlohmann::json;

struct Result {
    int code = -1;
    std::string out, err;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class ToolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        daemon_ = new zorvtest::ServiceDaemon(ZORV_TEST_DAEMON);
        // The tool's watch follows the service's fixed endpoint.
        daemon_->start("", "ipc:///tmp/zorv_label_manager.socket");
        setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_->address().c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete daemon_;
        daemon_ = nullptr;
    }

    // Starts the tool with `input` on standard input; its output goes to files
    // in the directory `io`.
    pid_t start(std::vector<std::string> args, const std::string& input = "", std::string io = "") {
        if (io.empty()) io = dir_.path();
        std::ofstream(io + "/in", std::ios::binary) << input;
        args.insert(args.begin(), ZORV_TOOL);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, (io + "/in").c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, (io + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&files, 2, (io + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
        return pid;
    }
    Result finish(pid_t pid) {
        int status = 0;
        Result r;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.code = WEXITSTATUS(status);
        r.out = slurp(dir_ / "out");
        r.err = slurp(dir_ / "err");
        return r;
    }
    Result run(const std::vector<std::string>& args, const std::string& input = "") {
        return finish(start(args, input));
    }
    // Runs a command that must succeed and returns its output.
    std::string ok(const std::vector<std::string>& args, const std::string& input = "") {
        Result r = run(args, input);
        EXPECT_EQ(r.code, 0) << args[0] << ": " << r.err;
        return r.out;
    }

    static zorvtest::ServiceDaemon* daemon_;
    zorvtest::ScratchDir dir_;
};

zorvtest::ServiceDaemon* ToolTest::daemon_ = nullptr;

// Whether this file system and user can write security.* attributes.
bool canLabel(const std::string& file, std::string& why) {
    if (::setxattr(file.c_str(), "security.zorv", "x", 1, 0) == 0) return true;
    why = std::strerror(errno);
    return false;
}

TEST_F(ToolTest, AttributesRoundTripThroughEveryCommand) {
    struct Case {
        const char* attribute;
        const char* value;
        std::string shown;
    } cases[] = {
        {"pkgid", "0x2a", "42"},
        {"oid", "1-0-2a", "0000000000000001-0000000000000000-000000000000002a"},
        {"sid", "ff-1-0", "00000000000000ff-0000000000000001-0000000000000000"},
        {"tid", "7", "7"},
        {"inherit", "5", "5"},
    };
    std::string shortPath = "/a", longPath = "/srv/some/much/longer/path";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attribute);
        ok({"set", c.attribute, shortPath, c.value});
        ok({"set", c.attribute, longPath, c.value});
        EXPECT_EQ(ok({"get", c.attribute, longPath}), c.shown + "\n");

        // The value column starts at the same place on every line.
        std::istringstream table(ok({"show", c.attribute}));
        std::string header, line;
        std::getline(table, header);
        size_t column = header.find_first_not_of(' ', header.find(' '));
        int rows = 0;
        while (std::getline(table, line)) {
            EXPECT_EQ(line.substr(column), c.shown) << line;
            EXPECT_EQ(line[column - 1], ' ') << line;
            ++rows;
        }
        EXPECT_EQ(rows, 2);

        Json shown = Json::parse(ok({"--json", "show", c.attribute}));
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(shown[0]["path"], shortPath);
        Json queried = Json::parse(ok({"query", c.attribute, longPath, "--json"}));
        ASSERT_EQ(queried.size(), 1u);
        EXPECT_EQ(queried[0]["path"], longPath);
        EXPECT_EQ(queried[0][c.attribute].dump(), Json::parse(ok({"--json", "get", c.attribute, longPath}))[c.attribute].dump());

        ok({"del", c.attribute, longPath});
        Result gone = run({"del", c.attribute, longPath});
        EXPECT_EQ(gone.code, 1) << gone.err;
        ok({"clear", c.attribute});
        EXPECT_EQ(Json::parse(ok({"--json", "show", c.attribute})).size(), 0u);
    }
}

TEST_F(ToolTest, BadInputIsOneLineAndChangesNothing) {
    std::string list = dir_.file("list", dir_.file("real") + "\n" + dir_ / "missing" + "\n");
    std::vector<std::vector<std::string>> bad = {
        {"frobnicate"},
        {"set", "tid", "/x"},
        {"set", "tid", "/x\xC3", "5"},
        {"set", "tid", "/x", "five"},
        {"set", "tid", "/x", "4294967296"},
        {"set", "oid", "/x", "1-2"},
        {"set", "inherit", "/x", "-1"},
        {"del", "pkgid", "/x", "-r"},
        {"file", "get", dir_ / "missing"},
        {"file", "set", dir_.file("f"), "1-0-0:5:1-0-0:3:0-0-0"},
        {"package", "bad-package", list},
        {"package", "bad-package", dir_ / "no-such-list"},
        {"pkg-name", "0"},
        {"policy", dir_.file("policy", "{\"subject_pkg\": \"not a list\"}")},
    };
    for (const auto& args : bad) {
        Result r = run(args);
        SCOPED_TRACE(args[0] + " " + (args.size() > 1 ? args[1] : ""));
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        ASSERT_FALSE(r.err.empty());
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    }
    EXPECT_EQ(Json::parse(ok({"--json", "show", "tid"})).size(), 0u);
    EXPECT_EQ(run({"pkg-id", "bad-package"}).code, 1);
}

TEST_F(ToolTest, UnreachableServiceHasItsOwnExitCode) {
    zorvtest::ServiceDaemon absent(ZORV_TEST_DAEMON);  // a bus without the service
    for (const std::string& address : {absent.address(), "unix:path=" + dir_ / "no-bus"}) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        Result r = run({"--json", "get", "tid", "/x"});
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_TRUE(r.out.empty());
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_->address().c_str(), 1);
}

TEST_F(ToolTest, WatchPrintsTheNotificationOfASet) {
    std::string io = dir_.dir("watch");
    pid_t watch = start({"watch", "--json", "-n", "1", "tid"}, "", io);
    // The subscription takes a moment to reach the publisher: set until the
    // watcher has seen one.
    int status = 0;
    bool done = false;
    for (int i = 0; i < 100 && !done; ++i) {
        ok({"set", "tid", "/watched", "9"});
        done = waitpid(watch, &status, WNOHANG) == watch;
        if (!done) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!done) {
        kill(watch, SIGKILL);
        waitpid(watch, &status, 0);
        FAIL() << "watch saw no notification";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    Json line = Json::parse(slurp(io + "/out"));
    EXPECT_EQ(line["message"]["member"], "setFileTid");
    EXPECT_EQ(line["message"]["path"], "/watched");
    ok({"clear", "tid"});
}

TEST_F(ToolTest, PackagesLookupsAndPolicies) {
    std::string a = dir_.file("pkg/bin/a"), b = dir_.file("pkg/lib/b");
    Result labelled = run({"package", "demo-pkg"}, a + "\n" + b + "\n");
    ASSERT_EQ(labelled.code, 0) << labelled.err;
    EXPECT_EQ(labelled.err.find('\r'), std::string::npos);  // no progress when not on a terminal
    std::string id = ok({"pkg-id", "demo-pkg", "--json"});
    uint64_t pkg = Json::parse(id)["demo-pkg"];
    EXPECT_EQ(ok({"pkg-name", std::to_string(pkg)}), "demo-pkg\n");

    Json policy = Json::parse(ok({"policy"}, R"({"subject_pkg": ["demo-pkg"]})"));
    char expected[64];
    std::snprintf(expected, sizeof expected, "%016llx-0000000000000000-0000000000000000", (unsigned long long)pkg);
    EXPECT_EQ(policy["subject_pkg"]["demo-pkg"][0], expected);

    EXPECT_EQ(ok({"status"}), "1\n");
    EXPECT_EQ(ok({"normalize", "/a/./b//c/"}), "/a/b/c\n");
    EXPECT_EQ(ok({"path-hash", "/a/b"}).size(), 65u);
    EXPECT_EQ(ok({"hash", "sm3", "abc"}), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0\n");
    EXPECT_EQ(ok({"hash", "kmod", "a"}), "3826002220\n");
    Json tagged = Json::parse(ok({"--json", "tag", "kmod", "ext4"}));
    EXPECT_EQ(tagged["ext4"], Json::parse(ok({"--json", "kmod", "ext4"}))["ext4"]);
    ok({"tag", "device", "sda"});
    EXPECT_FALSE(ok({"device", "sda"}).empty());
    ok({"interpreter", "lunvex", dir_ / "pkg"});
    ok({"drova-base"}, dir_.file("drova") + "\t" + a + "\n");

    std::string why;
    if (!canLabel(b, why)) {
        if (std::getenv("ZORV_TEST_REQUIRE_XATTR")) FAIL() << "security.zorv cannot be written: " << why;
        GTEST_SKIP() << "security.zorv cannot be written here: " << why;
    }
    std::string restored = ok({"restore", "--init", b});
    EXPECT_EQ(ok({"file", "get", b}), restored);
    ok({"file", "set", b, "1-0-2a:5:1-0-0:7:0-0-0"});
    Json label = Json::parse(ok({"--json", "file", "get", b}));
    EXPECT_EQ(label["label"],
              "0000000000000001-0000000000000000-000000000000002a:5:0000000000000001-0000000000000000-"
              "0000000000000000:7:0000000000000000-0000000000000000-0000000000000000");
    EXPECT_EQ(ok({"restore", b}), restored);  // the records, not what was written by hand
}

}  // namespace
