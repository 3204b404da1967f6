// zorv-label end to end: the tool as a process against the label manager
// service on a private bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zorv/labelmgr.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "as_user.h"
#include "scratch_dir.h"
#include "service_daemon.h"

extern char** environ;

namespace {

using Json = nlohmann::json;

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool oneLine(const std::string& text) { return !text.empty() && text.find('\n') == text.size() - 1; }

class ToolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        daemon_ = new zorvtest::ServiceDaemon(ZORV_TEST_DAEMON);
        daemon_->start(zorv::protocol::kNotifyEndpoint);  // the endpoint the tool's watch follows
        setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_->address().c_str(), 1);
    }
    static void TearDownTestSuite() { delete daemon_; }

    // Starts the tool with `input` on standard input; its output goes to the
    // files `io`.out and `io`.err of the scratch directory.
    pid_t start(std::vector<std::string> args, const std::string& input = "", const std::string& io = "run") {
        std::vector<char*> argv{const_cast<char*>(ZORV_TOOL)};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;  // the paths are copied
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, dir_.file(io + ".in", input).c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, (dir_ / io + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&files, 2, (dir_ / io + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
        return pid;
    }
    // Runs the tool and returns its exit status (-1 when it did not exit);
    // what it wrote is left in out_ and err_.
    int run(const std::vector<std::string>& args, const std::string& input = "") {
        pid_t pid = start(args, input);
        int status = 0;
        bool exited = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
        out_ = slurp(dir_ / "run.out");
        err_ = slurp(dir_ / "run.err");
        return exited ? WEXITSTATUS(status) : -1;
    }
    // Runs a command that must succeed and returns its output.
    std::string ok(const std::vector<std::string>& args, const std::string& input = "") {
        EXPECT_EQ(run(args, input), 0) << args[0] << ": " << err_;
        return out_;
    }

    static inline zorvtest::ServiceDaemon* daemon_ = nullptr;
    zorvtest::ScratchDir dir_;
    std::string out_, err_;
};

// Each attribute's values are parsed and shown in its own form, by every
// command of the family; tables align and JSON parses.
TEST_F(ToolTest, AttributesRoundTripThroughEveryCommand) {
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"pkgid", "0x2a", "42"},
        {"oid", "1-0-2a", "0000000000000001-0000000000000000-000000000000002a"},
        {"sid", "ff-1-0", "00000000000000ff-0000000000000001-0000000000000000"},
        {"tid", "7", "7"},
        {"inherit", "5", "5"},
    };
    const std::string path = "/srv/some/much/longer/path";
    for (const auto& [attribute, value, shown] : cases) {
        SCOPED_TRACE(attribute);
        ok({"set", attribute, "/a", value});
        ok({"set", attribute, path, value});
        EXPECT_EQ(ok({"get", attribute, path}), shown + "\n");

        // The value column starts where its heading does, on every line.
        const std::string table = ok({"show", attribute});
        const size_t column = table.find_first_not_of(' ', table.find(' '));
        EXPECT_EQ(table.substr(table.find('\n') + 1), "/a" + std::string(column - 2, ' ') + shown + "\n" + path +
                                                          std::string(column - path.size(), ' ') + shown + "\n");

        // Identifiers are strings in JSON, numbers are numbers.
        Json got = Json::parse(ok({"--json", "get", attribute, path}));
        EXPECT_EQ(got, Json({{"path", path}, {attribute, shown.size() > 20 ? Json(shown) : Json::parse(shown)}}));
        Json first = {{"path", "/a"}, {attribute, got[attribute]}};
        EXPECT_EQ(Json::parse(ok({"--json", "show", attribute})), Json::array({first, got}));
        EXPECT_EQ(Json::parse(ok({"query", attribute, path, "--json"})), Json::array({got}));

        ok({"del", attribute, path});
        EXPECT_EQ(run({"del", attribute, path}), 1);  // nothing left to delete
        ok({"clear", attribute});
        EXPECT_EQ(Json::parse(ok({"--json", "show", attribute})), Json::array());
    }
}

// Bad input, or no service to answer, is one line on standard error and an
// exit status of its own; nothing changes.
TEST_F(ToolTest, BadInputOrNoServiceIsOneLineAndItsOwnExitStatus) {
    const std::string list = dir_.file("list", dir_.file("real") + "\n" + dir_ / "missing" + "\n");
    const std::vector<std::vector<std::string>> bad = {
        {"frobnicate"}, {"set", "tid", "/x\xC3", "5"}, {"set", "tid", "/x", "4294967296"}, {"set", "oid", "/x", "1-2"},
        {"set", "inherit", "/x", "-1"}, {"del", "pkgid", "/x", "-r"}, {"file", "get", dir_ / "missing"},
        {"file", "set", dir_.file("f"), "1-0-0:5:1-0-0:3:0-0-0"}, {"package", "bad-package", list},
        {"package", "bad-package", dir_ / "no-such-list"}, {"pkg-name", "0"},
        {"policy", dir_.file("policy", "{\"subject_pkg\": \"not a list\"}")},
    };
    for (const auto& args : bad) {
        int code = run(args);
        EXPECT_TRUE(code == 2 && out_.empty() && oneLine(err_)) << args[0] << " " << args.back() << ": " << code << "\n"
                                                                << out_ << err_;
    }
    EXPECT_EQ(Json::parse(ok({"--json", "show", "tid"})), Json::array());
    EXPECT_EQ(run({"pkg-id", "bad-package"}), 1);

    // A bus without the service, and no bus at all, have an exit status of their own.
    zorvtest::ServiceDaemon absent(ZORV_TEST_DAEMON);
    for (const std::string& address : {absent.address(), "unix:path=" + dir_ / "no-bus"}) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        int code = run({"--json", "get", "tid", "/x"});
        EXPECT_TRUE(code == 3 && out_.empty() && oneLine(err_)) << address << ": " << code << "\n" << out_ << err_;
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_->address().c_str(), 1);
}

TEST_F(ToolTest, WatchPrintsTheNotificationOfASet) {
    pid_t watch = start({"watch", "--json", "-n", "1", "tid"}, "", "watch"), ended = 0;
    // Subscribing takes a moment to reach the publisher: set until it has seen one.
    int status = 0;
    for (int i = 0; i < 100 && (ended = waitpid(watch, &status, WNOHANG)) == 0; ++i) {
        ok({"set", "tid", "/watched", "9"});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (ended != watch && kill(watch, SIGKILL) == 0) waitpid(watch, nullptr, 0);
    ASSERT_EQ(ended, watch) << "watch saw no notification";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Json::parse(slurp(dir_ / "watch.out"))["message"], Json({{"member", "setFileTid"}, {"path", "/watched"}, {"uid", 0}}));
    ok({"clear", "tid"});
}

TEST_F(ToolTest, PackagesLookupsAndPolicies) {
    std::string a = dir_.file("pkg/bin/a"), b = dir_.file("pkg/lib/b");
    ASSERT_EQ(run({"package", "demo-pkg"}, a + "\n" + b + "\n"), 0) << err_;
    EXPECT_EQ(err_.find('\r'), std::string::npos);  // no progress when not on a terminal
    uint64_t pkg = Json::parse(ok({"pkg-id", "demo-pkg", "--json"}))["demo-pkg"];
    EXPECT_EQ(ok({"pkg-name", std::to_string(pkg)}), "demo-pkg\n");
    const std::string sid = Id(pkg, 0, 0).toString();  // the package's own identifier
    EXPECT_EQ(Json::parse(ok({"policy"}, R"({"subject_pkg": ["demo-pkg"]})"))["subject_pkg"]["demo-pkg"][0], sid);

    EXPECT_EQ(ok({"status"}), "1\n");
    EXPECT_EQ(ok({"normalize", "/a/./b//c/"}), "/a/b/c\n");
    EXPECT_EQ(ok({"path-hash", "/a/b"}).size(), 65u);
    EXPECT_EQ(ok({"hash", "sm3", "abc"}), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0\n");
    Json tagged = Json::parse(ok({"--json", "tag", "kmod", "ext4"}));
    EXPECT_EQ(tagged["ext4"], Json::parse(ok({"--json", "kmod", "ext4"}))["ext4"]);
    tagged = Json::parse(ok({"--json", "tag", "device", "sda"}));  // before the lookup
    EXPECT_EQ(tagged["sda"], Json::parse(ok({"--json", "device", "sda"}))["sda"]);
    EXPECT_EQ(ok({"hash", "kmod", "a"}), "3826002220\n");  // 0xE40C292C
    ok({"interpreter", "lunvex", dir_.dir("lunvex")});  // a tree of its own: the package keeps its files
    ok({"drova-base"}, dir_.file("drova") + "\t" + a + "\n");

    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(b, true) != 0, b);
    std::string restored = ok({"restore", "--init", b});
    EXPECT_NE(restored.find(sid), std::string::npos) << restored;
    EXPECT_EQ(ok({"file", "get", b}), restored);
    ok({"file", "set", b, "1-0-2a:5:1-0-0:7:0-0-0"});
    EXPECT_EQ(Json::parse(ok({"--json", "file", "get", b}))["label"],
              Id(1, 0, 0x2a).toString() + ":5:" + Id(1, 0, 0).toString() + ":7:" + Id().toString());
    EXPECT_EQ(ok({"restore", b}), restored);  // the records, not what was written by hand
}

// The audit trail as the tool shows it: who changed what, narrowed to a path
// or a time; other users than root are refused.
TEST_F(ToolTest, HistoryShowsWhoChangedWhat) {
    ok({"set", "tid", "/hist/a", "5"});
    ok({"set", "tid", "/hist/b", "6"});
    ok({"del", "tid", "/hist/a"});
    Json entries = Json::parse(ok({"--json", "history", "/hist/a"}));
    ASSERT_EQ(entries.size(), 2u) << entries;
    EXPECT_EQ(std::make_tuple(entries[0]["member"], entries[0]["uid"], entries[0]["old"], entries[0]["new"]),
              std::make_tuple(Json("setFileTid"), Json(0), Json(""), Json("5")));
    EXPECT_EQ(std::make_tuple(entries[1]["member"], entries[1]["old"], entries[1]["result"]),
              std::make_tuple(Json("delUserSetFileTid"), Json("5"), Json("committed")));
    EXPECT_EQ(Json::parse(ok({"--json", "history", "--since", "-1h"})).size(), 3u);
    EXPECT_EQ(Json::parse(ok({"--json", "history", "--since", "2999-01-01"})).size(), 0u);
    EXPECT_NE(ok({"history"}).find("/hist/b"), std::string::npos);
    EXPECT_EQ(run({"history", "--since", "soon"}), 2);
    if (geteuid() != 0) return;
    const std::string command = std::string(ZORV_TOOL) + " history >/dev/null 2>&1";
    EXPECT_EQ(zorvtest::asUser(zorvtest::kNobody, {},
                               [&] { return std::to_string(WEXITSTATUS(std::system(command.c_str()))); }),
              "1");
}

}  // namespace

namespace {

// No value of a document is a number that a reader with doubles would round.
bool exactForEveryReader(const Json& value) {
    if (value.is_number_unsigned()) return value.get<uint64_t>() <= (uint64_t(1) << 53);
    if (value.is_structured())
        for (const Json& item : value)
            if (!exactForEveryReader(item)) return false;
    return true;
}

// export and import move what a service holds to another one whole; the
// files appear complete or not at all; backup leaves a copy only root reads.
TEST_F(ToolTest, ExportImportAndBackupGoThroughFiles) {
    ok({"set", "oid", "/moved/a", "fedcba9876543210-1-2"});
    ok({"tag", "kmod", "moved_mod"});
    const std::string file = dir_ / "labels.json";
    Json counts = Json::parse(ok({"--json", "export", file}));
    EXPECT_EQ(counts["path"], file);
    EXPECT_GE(counts["records"].get<int>(), 1);
    const std::string document = slurp(file);
    EXPECT_EQ(ok({"export"}), document);  // to standard output alike
    Json parsed = Json::parse(document);
    EXPECT_TRUE(exactForEveryReader(parsed));
    EXPECT_EQ(parsed["records"]["oid"][0], Json({{"path", "/moved/a"}, {"oid", "fedcba9876543210-0000000000000001-0000000000000002"}}));
    EXPECT_EQ(run({"import", file}), 1);  // this service holds records already
    EXPECT_TRUE(oneLine(err_)) << err_;

    zorvtest::ServiceDaemon other(ZORV_TEST_DAEMON);
    other.newDatabase().start();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", other.address().c_str(), 1);
    EXPECT_EQ(run({"import"}, document), 0) << err_;
    EXPECT_EQ(run({"export"}), 0) << err_;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_->address().c_str(), 1);
    EXPECT_EQ(out_, document);

    EXPECT_EQ(run({"export", dir_ / "no-such-dir/labels.json"}), 2);
    Json backup = Json::parse(ok({"--json", "backup", dir_ / "labels.db"}));
    struct stat st {};
    ASSERT_EQ(::stat((dir_ / "labels.db").c_str(), &st), 0);
    EXPECT_EQ(std::make_tuple(uint64_t(st.st_size), st.st_mode & 0777), std::make_tuple(backup["size"].get<uint64_t>(), 0600u));
    int leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        leftovers += entry.path().filename().string().find(".json.") != std::string::npos ||
                     entry.path().filename().string().find(".db.") != std::string::npos;
    EXPECT_EQ(leftovers, 0);
    if (geteuid() != 0) return;
    const std::string command = std::string(ZORV_TOOL) + " export >/dev/null 2>&1";
    EXPECT_EQ(zorvtest::asUser(zorvtest::kNobody, {},
                               [&] { return std::to_string(WEXITSTATUS(std::system(command.c_str()))); }),
              "1");
}

// verify lists what restore -R would write and fails until it has; the dry
// runs of the changing commands change nothing.
TEST_F(ToolTest, RestoreAndVerifyWholeTrees) {
    const std::string root = dir_.dir("tree"), a = dir_.file("tree/a"), b = dir_.file("tree/sub/b");
    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(root, true) != 0, root);
    dir_.link(a, "tree/link");
    ok({"package", "tree-pkg"}, a + "\n" + b + "\n");

    EXPECT_EQ(run({"verify", "-R", root}), 1);
    EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 3) << out_;  // heading, a, b
    EXPECT_TRUE(oneLine(err_)) << err_;
    EXPECT_EQ(run({"--json", "verify", "-R", root}), 1);
    Json differ = Json::parse(out_);
    ASSERT_EQ(differ["files"].size(), 2u) << differ;
    EXPECT_EQ(std::make_tuple(differ["files"][0]["path"], differ["files"][0]["found"], differ["count"], differ["unrecorded"]),
              std::make_tuple(Json(a), Json(), Json(2), Json(3)));  // tree, sub and the link have no record
    EXPECT_EQ(Json::parse(ok({"--json", "restore", "-R", "--dry-run", root}))["files"], differ["files"]);
    EXPECT_EQ(run({"verify", "-R", root}), 1);

    EXPECT_EQ(ok({"restore", "-R", root}), "restored 2 labels (5 files checked, 3 without records)\n");
    EXPECT_EQ(ok({"verify", "-R", root}), "");
    EXPECT_EQ(ok({"file", "get", b}), differ["files"][1]["label"].get<std::string>() + "\n");
    EXPECT_EQ(run({"verify", root + "/sub", dir_ / "tree/missing"}), 1);  // a directory without records, a missing file
    EXPECT_EQ(run({"restore", "--dry-run", dir_ / "tree/missing"}), 1);

    EXPECT_EQ(ok({"package", "--dry-run", "dry-pkg"}, a + "\n"), a + "\n");
    EXPECT_EQ(run({"pkg-id", "dry-pkg"}), 1);
    EXPECT_EQ(ok({"interpreter", "lunvex", "--dry-run", root + "/sub"}), root + "/sub\n" + b + "\n");
    ok({"set", "tid", "/dry/kept", "5"});
    EXPECT_NE(ok({"clear", "tid", "--dry-run"}).find("/dry/kept"), std::string::npos);
    EXPECT_EQ(ok({"get", "tid", "/dry/kept"}), "5\n");
    ok({"clear", "tid"});
}

}  // namespace
