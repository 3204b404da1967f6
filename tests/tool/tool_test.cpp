// zorv-label end to end: the tool against the service on a private bus, on a fresh database for each case.

// GCC 12 at -O1 warns of a member inside <regex> it cannot see initialised, a false alarm: set before any header.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <zorv/labelmgr.hpp>

#include <regex>

#include "as_user.h"
#include "daemon_suite.h"
#include "emulator.h"
#include "private_bus.h"
#include "scratch_dir.h"
#include "scratch_endpoint.h"
#include "staged_program.h"
#include "standin_control.h"
#include "wait_until.h"

extern char** environ;

namespace {

using Json = nlohmann::json;

using zorvtest::slurp;

bool oneLine(const std::string& text) { return !text.empty() && text.find('\n') == text.size() - 1; }

std::vector<std::string> split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    for (size_t at = 0;;) {
        size_t next = text.find(separator, at);
        parts.push_back(text.substr(at, next - at));
        if (next == std::string::npos) return parts;
        at = next + separator.size();
    }
}

std::set<std::string> commandsOf(const std::string& help) {
    std::set<std::string> names;
    std::istringstream in(help.substr(help.find("Subcommands:")));
    std::string line;
    while (std::getline(in, line) && (line.empty() || line[0] != 'E'))
        if (line.size() > 2 && line[0] == ' ' && line[2] != ' ') names.insert(line.substr(2, line.find(' ', 2) - 2));
    return names;
}

// A command form's JSON as the manual's table gives it: the document, the keys (one of each group of alternatives;
// "?" marks an optional one, "*" any keys).
struct Shape {
    std::string document;
    std::vector<std::vector<std::string>> required;
    std::set<std::string> optional;
    bool anyKeys = false;
};

std::map<std::string, Shape> documentedShapes() {
    std::ifstream in(ZORV_MANUAL);
    std::map<std::string, Shape> shapes;
    bool section = false, table = false;
    for (std::string line; std::getline(in, line) && !(table && line == ".TE");) {
        if (line.rfind(".SH", 0) == 0) section = line == ".SH JSON OUTPUT";
        table = table || (section && line == ".TS");
        std::vector<std::string> cells = split(std::regex_replace(line, std::regex(R"(\\f[BIR]|\\(?=-))"), ""), "\t");
        if (!table || cells.size() != 3 || cells[0] == "Command") continue;
        Shape& shape = shapes[cells[0]];
        shape.document = cells[1];
        for (const std::string& key : split(cells[2], ", ")) {
            if (key == "*")
                shape.anyKeys = true;
            else if (key.back() == '?')
                shape.optional.insert(key.substr(0, key.size() - 1));
            else
                shape.required.push_back(split(key, "|"));
        }
    }
    return shapes;
}

// Values in their documented forms, and no number that a reader keeping doubles would round.
void checkValues(const Json& value, const std::string& key) {
    static const std::regex hex16("[0-9a-f]{16}"), triple("[0-9a-f]{16}-[0-9a-f]{16}-[0-9a-f]{16}"),
        rfc3339(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d))");
    const std::string text = value.is_string() ? value.get<std::string>() : "";
    EXPECT_FALSE(value.is_number_float()) << key;
    const uint64_t magnitude = value.is_number_unsigned()  ? value.get<uint64_t>()
                               : value.is_number_integer() ? uint64_t(std::llabs(value.get<int64_t>()))
                                                           : 0;
    EXPECT_LE(magnitude, uint64_t(1) << 53) << key;
    if (key == "pkg_id" || key == "last64") {
        EXPECT_TRUE(std::regex_match(text, hex16)) << key << " " << value;
    } else if (key == "oid" || key == "sid" || key == "creator_oid") {
        EXPECT_TRUE(std::regex_match(text, triple) || std::regex_match(text, hex16)) << key << " " << value;
    } else if (key == "time") {
        EXPECT_TRUE(std::regex_match(text, rfc3339)) << value;
    }
    if (value.is_structured())
        for (const auto& [k, v] : value.items()) checkValues(v, value.is_object() ? k : key);
}

// `out` is the JSON that the manual gives for `form`.
void checkShape(const std::string& form, const std::string& out) {
    static const std::map<std::string, Shape> shapes = documentedShapes();
    auto found = shapes.find(form);
    ASSERT_NE(found, shapes.end()) << form << " has no row in the manual's JSON table";
    const Shape& shape = found->second;
    std::vector<Json> objects;
    if (shape.document == "lines") {
        for (const std::string& line : split(out, "\n"))
            if (!line.empty()) objects.push_back(Json::parse(line));
    } else {
        Json document = Json::parse(out);
        ASSERT_EQ(document.is_array(), shape.document == "array") << form << ": " << out;
        objects = document.is_array() ? document.get<std::vector<Json>>() : std::vector<Json>{document};
    }
    ASSERT_FALSE(objects.empty()) << form << ": nothing to check";
    for (const Json& object : objects) {
        ASSERT_TRUE(object.is_object()) << form << ": " << object;
        checkValues(object, "");
        if (shape.anyKeys) continue;
        std::set<std::string> allowed = shape.optional;
        for (const auto& group : shape.required) {
            int present = 0;
            for (const std::string& key : group) present += object.contains(key), allowed.insert(key);
            EXPECT_EQ(present, 1) << form << ": " << group[0] << " in " << object;
        }
        for (const auto& [key, value] : object.items()) EXPECT_TRUE(allowed.count(key)) << form << ": key " << key;
    }
}

// What the tool run by the shell wrote (both streams), then a line with its exit status; as uid 65534 if `asNobody`.
std::string shell(const std::string& words, bool asNobody = false) {
    auto runs = [&words](const std::string& program) {
        std::string out;
        FILE* p = ::popen((zorvtest::emulatedShellCommand(program) + " " + words + " 2>&1").c_str(), "r");
        char buffer[1 << 16];
        for (size_t n; p && (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
        const int status = p ? ::pclose(p) : -1;
        return out + "\n" + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    };
    if (!asNobody) return runs(ZORV_TOOL);
    const std::string tool = zorvtest::stagedFor(zorvtest::kNobody, ZORV_TOOL);
    return zorvtest::asUser(zorvtest::kNobody, {}, [&] { return runs(tool); });
}

class ToolTest : public zorvtest::DaemonSuite {
protected:
    // The service and the tool's watch both take the endpoint from the environment.
    static void SetUpTestSuite() {
        endpoint_ = std::make_unique<zorvtest::ScratchEndpoint>();
        DaemonSuite::SetUpTestSuite();
    }
    static void TearDownTestSuite() {
        DaemonSuite::TearDownTestSuite();
        endpoint_.reset();
    }
    void SetUp() override { startService(true); }
    static void startService(bool freshDatabase = false) {
        if (freshDatabase) daemon_->newDatabase();
        daemon_->start(endpoint_->endpoint(), false);
    }

    // Starts the tool with `input` on standard input, its output to the scratch files `io`.out and `io`.err.
    pid_t start(std::vector<std::string> args, const std::string& input = "", const std::string& io = "run") {
        std::vector<std::string> command = zorvtest::emulatedCommand(ZORV_TOOL);
        std::vector<char*> argv;
        for (std::string& word : command) argv.push_back(word.data());
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
    // The tool's exit status (-1 when it did not exit); what it wrote is left in out_ and err_.
    int run(const std::vector<std::string>& args, const std::string& input = "") {
        pid_t pid = start(args, input);
        int status = 0;
        bool exited = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
        out_ = slurp(dir_ / "run.out");
        err_ = slurp(dir_ / "run.err");
        return exited ? WEXITSTATUS(status) : -1;
    }
    std::string ok(const std::vector<std::string>& args, const std::string& input = "") {
        EXPECT_EQ(run(args, input), 0) << args[0] << ": " << err_;
        return out_;
    }
    // Changes the Tid of `path` until `until` holds (a subscription reaches the publisher after a while), or 30 s pass.
    template <typename Condition>
    bool changeUntil(const std::string& path, Condition&& until) {
        int value = 9;
        return zorvtest::waitUntil([&] {
            ok({"set", "tid", path, std::to_string(value ^= 3)});
            return until();
        });
    }
    // Changes `path` until `watch` (run with -n 1) has ended; its exit status, or -1 when still waiting after 30 s.
    int setUntilWatchEnds(pid_t watch, const std::string& path = "/watched") {
        int status = 0;
        if (changeUntil(path, [&] { return waitpid(watch, &status, WNOHANG) == watch; }))
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (::kill(watch, SIGKILL) == 0) waitpid(watch, nullptr, 0);
        return -1;
    }

    static inline std::unique_ptr<zorvtest::ScratchEndpoint> endpoint_;
    zorvtest::ScratchDir dir_;
    std::string out_, err_;
};

// Each attribute's values are parsed and shown in its own form, by every command of the family; tables align. apply
// checks every line before the first change, then sends, reports and goes on past a refused one, in order.
TEST_F(ToolTest, AttributesRoundTripThroughEveryCommandAndApply) {
    const std::tuple<const char*, const char*, std::string, Json> cases[] = {
        {"pkgid", "0x2a", "42", "000000000000002a"},
        {"oid", "1-0-2a", Id(1, 0, 0x2a).toString(), Id(1, 0, 0x2a).toString()},
        {"sid", "ff-1-0", Id(0xff, 1, 0).toString(), Id(0xff, 1, 0).toString()},
        {"tid", "7", "7", 7},
        {"inherit", "5", "5", 5},
    };
    const std::string path = "/srv/some/much/longer/path";
    for (const auto& [attribute, value, shown, json] : cases) {
        SCOPED_TRACE(attribute);
        ok({"set", attribute, "/a", value});
        EXPECT_EQ(ok({"set", attribute, path, value}), "");  // a change that worked says nothing
        EXPECT_EQ(ok({"get", attribute, path}), shown + "\n");

        // The value column starts where its heading does, on every line.
        const std::string table = ok({"show", attribute});
        const size_t column = table.find_first_not_of(' ', table.find(' '));
        EXPECT_EQ(table.substr(table.find('\n') + 1), "/a" + std::string(column - 2, ' ') + shown + "\n" + path +
                                                          std::string(column - path.size(), ' ') + shown + "\n");
        const std::string key = attribute == std::string("pkgid") ? "pkg_id" : attribute;
        const Json got = {{"path", path}, {key, json}};
        EXPECT_EQ(Json::parse(ok({"--json", "get", attribute, path})), got);
        EXPECT_EQ(Json::parse(ok({"query", attribute, path, "--json"})), Json::array({got}));

        ok({"del", attribute, path});
        ok({"clear", attribute});
        EXPECT_EQ(Json::parse(ok({"--json", "show", attribute})), Json::array());
    }

    EXPECT_EQ(run({"apply"}, "set tid /ap/a 5\nset tid /ap/b 0\nfrobnicate\n{\"command\": \"set\"}\n"), 2);
    EXPECT_TRUE(out_.empty() && oneLine(err_)) << err_;
    for (const char* line : {"line 2:", "line 3:", "line 4:"}) EXPECT_NE(err_.find(line), std::string::npos) << err_;
    EXPECT_EQ(run({"get", "tid", "/ap/a"}), 1);  // the good line was not applied either

    const std::string changes =
        "# a comment, then an empty line\n\n"
        "set tid '/ap/it'\\''s a' 5\n"
        "{\"command\": \"set\", \"attribute\": \"pkgid\", \"path\": \"/ap/b\", \"value\": \"fffffffffffffff1\"}\n"
        "del oid /ap/none\n"
        "set inherit /ap/b 7\n";
    EXPECT_EQ(run({"apply", "--dry-run"}, changes), 0);
    EXPECT_EQ(run({"get", "tid", "/ap/it's a"}), 1);  // a dry run changes nothing

    EXPECT_EQ(run({"apply"}, changes), 1);  // one line failed, the others were applied
    const std::string report = out_;
    EXPECT_EQ(report,
              "line 3: set tid '/ap/it'\\''s a' 5: done\n"
              "line 4: set pkgid /ap/b 18446744073709551601: done\n"
              "line 5: del oid /ap/none: no value was recorded for this path\n"
              "line 6: set inherit /ap/b 7: done\n");
    EXPECT_EQ(ok({"get", "tid", "/ap/it's a"}), "5\n");
    EXPECT_EQ(ok({"get", "inherit", "/ap/b"}), "7\n");
    // A report line's words are a change again.
    EXPECT_EQ(run({"apply", "--json"}, report.substr(8, report.find(": done") - 8) + "\n"), 0);
    EXPECT_EQ(Json::parse(out_)["path"], "/ap/it's a");
}

// Every command's JSON has the keys and value forms the manual gives; every command and form either lists is run.
TEST_F(ToolTest, EveryCommandWritesTheJsonItsManualGives) {
    const std::string file = dir_.file("j/file"), host = dir_.file("j/host"), tree = dir_.dir("j/tree");
    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(file, true) != 0, file);
    ok({"package", "jpkg"}, file + "\n" + host + "\n");
    ok({"tag", "kmod", "ext4"});
    std::set<std::string> forms;
    auto json = [&](const std::string& form, std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), "--json");
        std::string out = ok(args, input);
        checkShape(form, out);
        forms.insert(form);
        return out;
    };
    json("set", {"set", "pkgid", "/j/a", "0xfffffffffffffff1"});  // past 2^53
    EXPECT_EQ(Json::parse(json("get", {"get", "pkgid", "/j/a"}))["pkg_id"], "fffffffffffffff1");
    json("set", {"set", "oid", "/j/a", "1-2-3"});
    json("show", {"show", "pkgid"});
    json("query", {"query", "oid", "/j", "-r"});
    json("del", {"del", "oid", "/j/a", "-r"});
    json("clear", {"clear", "pkgid", "--dry-run"});
    json("clear", {"clear", "pkgid"});
    json("apply", {"apply"}, "set tid /j/b 5\n{\"command\": \"del\", \"attribute\": \"tid\", \"path\": \"/j/b\"}\n");
    json("file set", {"file", "set", file, "1-0-2a:5:1-0-0:7:0-0-0"});
    json("file get", {"file", "get", file});
    json("tag", {"tag", "device", "sda"});
    json("device", {"device", "sda"});
    json("kmod", {"kmod", "ext4"});
    const std::string id = Json::parse(json("pkg-id", {"pkg-id", "jpkg"}))[0]["pkg_id"];
    EXPECT_EQ(Json::parse(json("pkg-name", {"pkg-name", "0x" + id}))["name"], "jpkg");
    json("normalize", {"normalize", "/a//b/"});
    json("path-hash", {"path-hash", "/a"});
    json("status", {"status"});
    json("restore", {"restore", "--init", file});
    json("hash sm3", {"hash", "sm3", "abc", "--bits", "64"});
    json("hash kmod", {"hash", "kmod", "a"});
    json("package", {"package", "jpkg", "--dry-run"}, file + "\n");
    json("packages", {"packages"});
    json("packages name", {"packages", "jpkg"});
    json("interpreter", {"interpreter", "lunvex", tree, "--dry-run"});
    json("drova-base", {"drova-base"}, dir_ / "j/drova" + "\t" + host + "\n");
    json("policy", {"policy"}, R"({"subject_pkg": ["jpkg"]})");
    json("history", {"history", "/j"});
    json("restore -R", {"restore", "-R", "--dry-run", tree});
    json("verify", {"verify", "-R", tree});
    // export and import move a service's records whole, files appear complete or not at all, a backup only root reads.
    const std::string exported = dir_ / "j/export.json", backup = dir_ / "j/backup.db";
    const Json counts = Json::parse(json("export", {"export", exported}));
    EXPECT_EQ(counts["path"], exported);
    const std::string document = slurp(exported);
    EXPECT_EQ(ok({"export"}), document);  // to standard output alike
    EXPECT_EQ(run({"import", exported}), 1);  // this service holds records already
    EXPECT_TRUE(oneLine(err_)) << err_;
    EXPECT_EQ(run({"export", dir_ / "no-such-dir/labels.json"}), 2);
    const uint64_t size = Json::parse(json("backup", {"backup", backup}))["size"];
    struct stat st {};
    ASSERT_EQ(::stat(backup.c_str(), &st), 0);
    EXPECT_EQ(std::make_tuple(uint64_t(st.st_size), st.st_mode & 0777), std::make_tuple(size, 0600u));
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "j"))
        EXPECT_TRUE(entry.path().filename().string().find(".json.") == std::string::npos &&
                    entry.path().filename().string().find(".db.") == std::string::npos) << entry.path();
    dir_.file("j/admin/status", "");
    json("sync-packages", {"sync-packages", "--dry-run", "--admindir", dir_ / "j/admin", "--state", dir_ / "j/state"});
    json("package --remove", {"package", "--remove", "jpkg"});
    {
        zorvtest::ServiceDaemon other(ZORV_TEST_DAEMON);  // import needs a service that holds nothing yet
        other.newDatabase().start();
        setenv("DBUS_SYSTEM_BUS_ADDRESS", other.address().c_str(), 1);
        json("import", {"import"}, document);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_->address().c_str(), 1);
    }

    // watch follows the endpoint the service was given.
    ASSERT_EQ(setUntilWatchEnds(start({"watch", "--json", "-n", "1", "tid"}, "", "watch")), 0)
        << "watch saw no notification";
    checkShape("watch", slurp(dir_ / "watch.out"));
    forms.insert("watch");
    Json seen = Json::parse(slurp(dir_ / "watch.out"));
    EXPECT_EQ(seen["topic"], "tid");
    EXPECT_EQ(seen["message"], Json({{"member", "setFileTid"}, {"path", "/watched"}, {"uid", 0}}));

    std::set<std::string> commands;
    for (const std::string& form : forms) commands.insert(form.substr(0, form.find(' ')));
    for (const std::string& command : commandsOf(ok({"--help"})))
        EXPECT_TRUE(commands.count(command)) << command << " is not run with --json here";
    for (const auto& [form, shape] : documentedShapes()) EXPECT_TRUE(forms.count(form)) << form << " is not run here";
}

// Bad input, or no service to answer, is one line on standard error (with --json a JSON object), an exit status of its
// own and no change; messages speak of what happened, not of D-Bus names or library statuses.
TEST_F(ToolTest, BadInputOrNoServiceIsOneLineAndItsOwnExitStatus) {
    const std::string list = dir_.file("list", dir_.file("real") + "\n" + dir_ / "missing" + "\n");
    const std::vector<std::vector<std::string>> bad = {
        {"frobnicate"}, {"set", "tid", "/x\xC3", "5"}, {"set", "tid", "/x", "4294967296"}, {"set", "oid", "/x", "1-2"},
        {"set", "inherit", "/x", "-1"}, {"del", "pkgid", "/x", "-r"}, {"file", "get", dir_ / "missing"},
        {"file", "set", dir_.file("f"), "1-0-0:5:1-0-0:3:0-0-0"}, {"package", "bad-package", list},
        {"package", "bad-package", dir_ / "no-such-list"}, {"pkg-name", "0"},
        {"policy", dir_.file("policy", "{\"subject_pkg\": \"not a list\"}")}, {"device", ""}, {"tag", "device", ""},
        {"kmod", "a", ""}, {"packages", ""}, {"package", "--remove", "x", list},
    };
    for (const auto& args : bad) {
        int code = run(args);
        EXPECT_TRUE(code == 2 && out_.empty() && oneLine(err_)) << args[0] << " " << args.back() << ": " << code << "\n"
                                                                << out_ << err_;
    }
    EXPECT_EQ(Json::parse(ok({"--json", "show", "tid"})), Json::array());
    EXPECT_EQ(run({"pkg-id", "bad-package"}), 1);

    const std::vector<std::vector<std::string>> failing = {
        {"get", "tid", "/none"}, {"set", "tid", "/x", "0"}, {"frobnicate"}, {"pkg-name", "99999"},
        {"restore", "/none"}, {"package", "--remove", "no-such-package"}, {"device", "no-such-device"},
    };
    for (auto args : failing) {
        const int code = run(args);
        const std::string message = err_.substr(12, err_.size() - 13);  // after "zorv-label: "
        EXPECT_EQ(message.find("DBus"), std::string::npos) << message;
        EXPECT_EQ(message.find("status"), std::string::npos) << message;
        args.insert(args.begin(), "--json");
        EXPECT_EQ(run(args), code) << args[1];
        EXPECT_TRUE(out_.empty() && oneLine(err_)) << out_ << err_;
        EXPECT_EQ(Json::parse(err_), Json({{"error", message}, {"status", code}}));
    }
    EXPECT_NE(err_.find("not known"), std::string::npos) << err_;
    run({"pkg-name", "99999"});
    EXPECT_NE(err_.find("no package has the identifier 99999"), std::string::npos) << err_;  // not "no answer"

    // A bus without the service, and no bus at all, have an exit status of their own.
    zorvtest::ServiceDaemon absent(ZORV_TEST_DAEMON);
    for (const std::string& address : {absent.address(), "unix:path=" + dir_ / "no-bus"}) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
        for (const char* command : {"get", "watch"}) {
            int code = run({"--json", command, "tid", "/x"});
            EXPECT_TRUE(code == 3 && out_.empty() && Json::parse(err_)["status"] == 3)
                << command << " on " << address << ": " << code << err_;
        }
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_->address().c_str(), 1);
}

// Packages listed, emptied (keeping their identifier), labelled again and looked up both ways; the other lookups.
TEST_F(ToolTest, PackagesLookupsAndPolicies) {
    const std::string a = dir_.file("pkg/bin/a"), b = dir_.file("pkg/lib/b");
    ASSERT_EQ(run({"package", "demo-pkg"}, b + "\n" + a + "\n"), 0) << err_;
    EXPECT_EQ(err_.find('\r'), std::string::npos);  // no progress when not on a terminal
    Json listed;
    for (const Json& p : Json::parse(ok({"--json", "packages"})))
        if (p["name"] == "demo-pkg") listed = p;
    EXPECT_EQ(std::make_tuple(listed["type"], listed["count"]), std::make_tuple(Json("package"), Json(2))) << listed;
    EXPECT_EQ(run({"packages", "unknown"}), 1);
    ok({"package", "--remove", "demo-pkg", "--dry-run"});
    EXPECT_EQ(ok({"packages", "demo-pkg"}), a + "\n" + b + "\n");  // in byte order, and still there
    EXPECT_NE(ok({"package", "--remove", "demo-pkg"}).find("stays recorded"), std::string::npos);
    EXPECT_EQ(ok({"packages", "demo-pkg"}), "");
    EXPECT_EQ(Json::parse(ok({"--json", "pkg-id", "demo-pkg"}))[0]["pkg_id"], listed["pkg_id"]);
    EXPECT_EQ(run({"package", "--remove", "never-recorded"}), 1);
    EXPECT_EQ(run({"pkg-id", "never-recorded"}), 1);  // refusing it did not create it
    ok({"package", "demo-pkg"}, a + "\n" + b + "\n");

    const std::string id = Json::parse(ok({"pkg-id", "demo-pkg", "--json"}))[0]["pkg_id"];
    const uint64_t pkg = std::stoull(id, nullptr, 16);
    EXPECT_EQ(ok({"pkg-name", std::to_string(pkg)}), "demo-pkg\n");
    const std::string sid = Id(pkg, 0, 0).toString();  // the package's own identifier
    EXPECT_EQ(Json::parse(ok({"policy"}, R"({"subject_pkg": ["demo-pkg"]})"))["subject_pkg"]["demo-pkg"][0], sid);

    EXPECT_EQ(ok({"status"}), "1\n");
    EXPECT_EQ(ok({"normalize", "/a/./b//c/"}), "/a/b/c\n");
    EXPECT_EQ(ok({"path-hash", "/a/b"}).size(), 65u);
    EXPECT_EQ(ok({"hash", "sm3", "abc"}), "66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0\n");
    Json tagged = Json::parse(ok({"--json", "tag", "kmod", "ext4"}));
    EXPECT_EQ(tagged, Json::parse(ok({"--json", "kmod", "ext4"})));
    tagged = Json::parse(ok({"--json", "tag", "device", "sda"}));  // before the lookup
    EXPECT_EQ(tagged, Json::parse(ok({"--json", "device", "sda"})));
    EXPECT_EQ(ok({"hash", "kmod", "a"}), "3826002220\n");  // 0xE40C292C
    ok({"interpreter", "lunvex", dir_.dir("lunvex")});  // a tree of its own: the package keeps its files

    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(b, true) != 0, b);
    std::string restored = ok({"restore", "--init", b});
    EXPECT_NE(restored.find(sid), std::string::npos) << restored;
    EXPECT_EQ(ok({"file", "get", b}), restored);
    ok({"file", "set", b, "1-0-2a:5:1-0-0:7:0-0-0"});
    EXPECT_EQ(Json::parse(ok({"--json", "file", "get", b}))["label"],
              Id(1, 0, 0x2a).toString() + ":5:" + Id(1, 0, 0).toString() + ":7:" + Id().toString());
}

// The audit trail narrowed to a path or a time; a C1 control (U+009B starts an escape sequence) and a bidirectional
// override (U+202E) shown escaped by history and watch, as text and JSON; watch follows the service's restart.
TEST_F(ToolTest, HistoryAndWatchShowChangesWithHostileNamesEscapedAndWatchFollowsARestart) {
    ok({"set", "tid", "/hist/a", "5"});
    ok({"set", "tid", "/hist/b", "6"});
    ok({"del", "tid", "/hist/a"});
    Json entries = Json::parse(ok({"--json", "history", "/hist/a"}));
    ASSERT_EQ(entries.size(), 2u) << entries;
    EXPECT_EQ(std::make_tuple(entries[0]["member"], entries[0]["uid"], entries[0]["old"], entries[0]["new"]),
              std::make_tuple(Json("setFileTid"), Json(0), Json(""), Json("5")));
    EXPECT_EQ(std::make_tuple(entries[1]["member"], entries[1]["old"], entries[1]["result"]),
              std::make_tuple(Json("delUserSetFileTid"), Json("5"), Json("committed")));
    EXPECT_EQ(Json::parse(ok({"--json", "history", "/hist", "--since", "-1h"})).size(), 3u);
    EXPECT_EQ(Json::parse(ok({"--json", "history", "--since", "2999-01-01"})).size(), 0u);
    EXPECT_EQ(run({"history", "--since", "soon"}), 2);

    const std::string path = "/hostile/caf\xC3\xA9\xC2\x9B" "31m\xE2\x80\xAE" "txt";
    // What a failure prints is escaped too, not to act on this terminal.
    auto ascii = [](const std::string& text) { return Json(text).dump(-1, ' ', true, Json::error_handler_t::replace); };
    auto expectEscaped = [&](const std::string& out, const std::string& what) {
        EXPECT_NE(out.find("caf\xC3\xA9\\u009b31m\\u202etxt"), std::string::npos) << what << ": " << ascii(out);
        EXPECT_EQ(out.find("\xC2\x9B"), std::string::npos) << what << ": " << ascii(out);
        EXPECT_EQ(out.find("\xE2\x80\xAE"), std::string::npos) << what << ": " << ascii(out);
    };
    const pid_t watch = start({"watch", "tid"}, "", "watch");
    auto errorsSay = [&](const std::string& words) {
        return zorvtest::waitUntil([&] { return slurp(dir_ / "watch.err").find(words) != std::string::npos; });
    };
    auto heard = [&](const std::string& changed, const std::string& shown) {
        return changeUntil(changed, [&] { return slurp(dir_ / "watch.out").find(shown) != std::string::npos; });
    };
    ASSERT_TRUE(heard(path, "caf\xC3\xA9\\u009b31m")) << slurp(dir_ / "watch.err");
    expectEscaped(slurp(dir_ / "watch.out"), "watch");
    daemon_->stop();
    EXPECT_TRUE(errorsSay("service is not running; waiting for it to come back")) << slurp(dir_ / "watch.err");
    startService();
    EXPECT_TRUE(errorsSay("service is back")) << slurp(dir_ / "watch.err");
    EXPECT_TRUE(heard("/watched", "\"path\":\"/watched\"")) << "watch saw no notification from the new service";
    ::kill(watch, SIGTERM);
    waitpid(watch, nullptr, 0);
    ASSERT_EQ(setUntilWatchEnds(start({"--json", "watch", "-n", "1", "tid"}, "", "watch"), path), 0);
    const std::string seen = slurp(dir_ / "watch.out");
    expectEscaped(seen, "watch --json");
    EXPECT_TRUE(Json::parse(seen)["message"]["path"] == path) << ascii(seen);  // the escape reads back
    expectEscaped(ok({"history", "/hostile"}), "history");
    const std::string history = ok({"--json", "history", "/hostile"});
    expectEscaped(history, "history --json");
    EXPECT_TRUE(Json::parse(history)[0]["subject"] == path) << ascii(history);
}

// verify lists what restore -R would write and fails until it has; dry runs change nothing. --xdev enters no other
// file system (mounted in a namespace of the test's own) and says so, no failure; --cross-devices labels it.
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

    EXPECT_EQ(ok({"package", "--dry-run", "dry-pkg"}, a + "\n"), "would label 1 files of dry-pkg as package\n");
    EXPECT_EQ(run({"pkg-id", "dry-pkg"}), 1);
    EXPECT_EQ(ok({"interpreter", "lunvex", "--dry-run", root + "/sub"}),
              "would label the lunvex interpreter at " + root + "/sub (2 files)\n");
    ok({"set", "tid", "/dry/kept", "5"});
    EXPECT_EQ(ok({"clear", "tid", "--dry-run"}), "would remove 1 tid values\n");
    EXPECT_EQ(ok({"get", "tid", "/dry/kept"}), "5\n");

    const std::string xdev = dir_.dir("xdev"), mounted = dir_.dir("xdev/mnt");
    ASSERT_EQ(daemon_->stop(), 0);
    struct Unmount {
        std::string at;
        ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
    } unmount{mounted};
    const bool ownMounts = ::unshare(CLONE_NEWNS) == 0 &&
                           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                           ::mount("tmpfs", mounted.c_str(), "tmpfs", 0, "mode=0755") == 0;
    startService();
    if (!ownMounts) GTEST_SKIP() << "needs a mount namespace of its own";
    const std::string outside = dir_.file("xdev/a"), inside = dir_.file("xdev/mnt/b");
    ok({"package", "xdev-pkg"}, outside + "\n" + inside + "\n");
    EXPECT_EQ(run({"restore", "-R", "--xdev", xdev}), 0) << err_;
    EXPECT_EQ(out_, "restored 1 labels (2 files checked, 1 without records, 1 directories not entered)\n");
    EXPECT_EQ(err_, "zorv-label: restore " + mounted + ": not entered: on another file system\n");
    EXPECT_EQ(run({"verify", "-R", "--xdev", "--cross-devices", xdev}), 2);  // one or the other
    Json crossed = Json::parse(ok({"--json", "restore", "-R", "--cross-devices", "--threads", "2", xdev}));
    EXPECT_EQ(crossed["count"], 1) << crossed;
    EXPECT_EQ(crossed["not_entered"].size(), 0u) << crossed;
    EXPECT_EQ(ok({"verify", "-R", "--threads", "1", xdev}), "");
}

// Another user may not list packages, read the trail or export, and is told so on a change; its listings (one reply)
// hold the bytes of root's (a passed pipe), also for names that are escaped, wide, or hold a newline.
TEST_F(ToolTest, AnotherUserIsRefusedAdministrationAndListsAsRootDoes) {
    if (geteuid() != 0) GTEST_SKIP() << "the other user is played by root dropping to uid 65534";
    ZORV_SKIP_UNLESS_STAGED(zorvtest::kNobody, ZORV_TOOL);
    ok({"package", "seen-by-others"}, dir_.file("a") + "\n");
    const std::vector<std::string> paths = {"/l/a", "/l/wide/\xE4\xB8\xAD\xE6\x96\x87", "/l/new\nline", "/l/tab\tx",
                                            "/l/back\\slash", "/l/bidi\xE2\x80\xAEtxt", "/l/c1\xC2\x9B", "/other"};
    for (unsigned i = 0; i < paths.size(); ++i) {
        const char* p = paths[i].c_str();
        ASSERT_EQ(setPkgId(p, 0xfffffffffffffff0 + i), 0) << i;
        ASSERT_EQ(setFileOid(p, ZORV_ID{i, 0x1234, ~0ul - i}, 0), 0);
        ASSERT_EQ(setFileSid(p, ZORV_ID{7, i, 0}, 0), 0);
        ASSERT_EQ(setFileTid(p, 4000000000u + i, 0), 0);
        ASSERT_EQ(setFileInheritFlag(p, i % 2 ? 5 : 7, 0), 0);
    }
    for (const char* words : {"packages", "history", "export"}) {
        const std::string said = shell(words, true);
        EXPECT_EQ(said.substr(said.size() - 2), "\n1") << words << ": " << said;
    }
    for (const char* words : {"set tid /x 5", "tag kmod x"})
        EXPECT_NE(shell(words, true).find("only root"), std::string::npos) << words;
    for (const std::string kind : {"pkgid", "oid", "sid", "tid", "inherit"}) {
        std::vector<std::string> forms = {"show " + kind};
        if (kind != "pkgid") forms.push_back("query " + kind + " /l -r");
        for (const std::string& form : forms)
            for (const std::string& words : {form, "--json " + form})
                EXPECT_EQ(shell(words), shell(words, true)) << words;
    }
}

// Tids that take more than the 32 MiB of one reply: root lists them whole (the service refuses the one reply).
TEST_F(ToolTest, RootListsMoreRecordsThanOneReplyCarries) {
    constexpr int kRecords = 9000;  // of about 4,000 bytes each
    daemon_->stop();
    runSql("PRAGMA synchronous=OFF; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
           std::to_string(kRecords) + ") INSERT INTO user_set(attribute, path, pkg_id, file_id, path_id) SELECT 3,"
           " printf('/big/%05d-', i) || hex(zeroblob(1990)), i, 0, 0 FROM n");
    startService();
    auto path = [](int i) {
        char head[16];
        std::snprintf(head, sizeof head, "/big/%05d-", i);
        return head + std::string(3980, '0');
    };

    const std::string shown = shell("show tid");
    ASSERT_EQ(shown.substr(shown.size() - 2), "\n0") << shown.substr(0, 200);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), kRecords + 2);
    EXPECT_EQ(shown.substr(0, shown.find('\n')), "PATH" + std::string(path(1).size() - 2, ' ') + "TID");
    EXPECT_EQ(shown.substr(shown.find('\n') + 1, path(1).size() + 4), path(1) + "  1\n");
    EXPECT_EQ(shown.substr(shown.size() - path(1).size() - 9), path(kRecords) + "  9000\n\n0");
}

// sync-packages with a dpkg database of the test's own (--admindir), its packages' files in the scratch directory.
class SyncPackages : public ToolTest {
protected:
    struct Entry {
        std::string name, version, state = "installed", arch = "all";
        std::vector<std::string> files;  // the file list as dpkg keeps it
    };
    // Writes the status file, one file list per package, and the diversions.
    void writeDatabase(const std::vector<Entry>& packages, const std::string& diversions = "") {
        std::ofstream status(admin_ + "/status", std::ios::binary);
        for (const Entry& p : packages) {
            const bool same = p.arch != "all";
            status << "Package: " << p.name << "\nStatus: install ok " << p.state << "\nMaintainer: t <t@t>\n"
                   << "Architecture: " << p.arch << "\n"
                   << (same ? "Multi-Arch: same\n" : "") << "Version: " << p.version << "\nDescription: t\n\n";
            std::ofstream list(admin_ + "/info/" + p.name + (same ? ":" + p.arch : "") + ".list", std::ios::binary);
            for (const std::string& f : p.files) list << f << "\n";
        }
        std::ofstream(admin_ + "/diversions", std::ios::binary) << diversions;
    }
    // What sync-packages wrote, which must exit with `status`.
    std::string synced(std::vector<std::string> more = {}, int status = 0) {
        more.insert(more.begin(), {"sync-packages", "--admindir", admin_, "--state", state_});
        EXPECT_EQ(run(more), status) << err_;
        return out_;
    }
    size_t auditEntries() { return Json::parse(ok({"--json", "history"})).size(); }

    const std::string admin_ = std::filesystem::path(dir_.dir("admin/info")).parent_path(), state_ = dir_ / "state";
};

// Installed packages are labelled, shared directories and diversions as dpkg has them; a run with nothing changed
// writes nothing; an upgrade, a package dropped by hand, a removal, a failure are each caught.
TEST_F(SyncPackages, FollowsInstallUpgradeRemovalAndFailures) {
    const std::string shared = dir_.dir("usr/share"), tool = dir_.file("usr/bin/tool"),
                      doc = dir_.file("usr/share/doc/tool"), lib = dir_.file("usr/lib/libdemo.so"),
                      original = dir_.file("usr/bin/cmd"), moved = dir_.file("usr/bin/cmd.real"),
                      linked = dir_.file("usr/bin/linked");
    dir_.link("usr/bin", "bin");  // as /bin on a system with merged /usr
    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(tool, true) != 0, tool);
    const std::string usr = dir_ / "usr", bin = dir_ / "usr/bin", docs = dir_ / "usr/share/doc";
    const std::string diversion = original + "\n" + moved + "\nlibdemo\n";
    writeDatabase({{"tool", "1.0", "installed", "all",
                    {"/.", dir_.path(), usr, bin, tool, original, dir_ / "bin/linked", shared, docs, doc}},
                   {"libdemo", "2", "installed", "amd64", {"/.", dir_.path(), usr, shared, dir_ / "usr/lib", lib}}},
                  diversion);

    EXPECT_EQ(synced({"--dry-run"}), "would label 2 files of libdemo:amd64 2 (new)\nwould label 6 files of tool 1.0 (new)\n");
    EXPECT_FALSE(std::filesystem::exists(state_));
    EXPECT_EQ(run({"pkg-id", "tool"}), 1) << "a dry run recorded the package";

    EXPECT_NE(synced().find("labelled 2 files of libdemo:amd64 2 (new)"), std::string::npos) << out_;
    // What both list ("/", the scratch directory, usr/share) is neither's; a linked directory's path is recorded real.
    EXPECT_EQ(ok({"packages", "tool"}),
              bin + "\n" + moved + "\n" + linked + "\n" + tool + "\n" + docs + "\n" + doc + "\n");
    EXPECT_EQ(ok({"packages", "libdemo:amd64"}), dir_.dir("usr/lib") + "\n" + lib + "\n");
    EXPECT_EQ(run({"verify", tool, doc, moved, linked, lib}), 0) << out_ << err_;

    struct stat before {};
    ASSERT_EQ(::stat(state_.c_str(), &before), 0);
    const size_t entries = auditEntries();
    EXPECT_EQ(synced(), "");
    EXPECT_EQ(auditEntries(), entries) << "a run with nothing changed made a change";
    struct stat after {};
    ASSERT_EQ(::stat(state_.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    // An upgrade: one file gone, one new.
    const std::string added = dir_.file("usr/bin/tool2");
    std::filesystem::remove(doc);
    writeDatabase({{"tool", "1.1", "installed", "all", {"/.", dir_.path(), usr, bin, tool, added, original}},
                   {"libdemo", "2", "installed", "amd64", {"/.", dir_.path(), usr, shared, dir_ / "usr/lib", lib}}},
                  diversion);
    // usr/share is now libdemo's alone.
    EXPECT_EQ(synced(), "labelled 3 files of libdemo:amd64 2 (changed)\nlabelled 4 files of tool 1.1 (upgraded)\n");
    EXPECT_EQ(ok({"packages", "tool"}), bin + "\n" + moved + "\n" + tool + "\n" + added + "\n");
    EXPECT_EQ(run({"verify", added}), 0) << out_ << err_;

    // The state says both are done; the service, on a new database, knows neither.
    EXPECT_EQ(daemon_->stop(SIGTERM), 0);
    startService(true);
    EXPECT_EQ(synced(), "labelled 3 files of libdemo:amd64 2 (new)\nlabelled 4 files of tool 1.1 (new)\n");
    // Files dropped by hand are noticed by a run that ignores the state.
    ASSERT_EQ(run({"package", "--remove", "libdemo:amd64"}), 0) << err_;
    EXPECT_EQ(synced({"--all"}), "labelled 3 files of libdemo:amd64 2 (new)\nlabelled 4 files of tool 1.1 (changed)\n");

    // dpkg removed tool (its configuration files kept), purged libdemo.
    writeDatabase({{"tool", "1.1", "config-files", "all", {}}});
    const Json done = Json::parse(synced({"--json"}));
    EXPECT_EQ(done["dropped"], Json::parse(R"([{"name": "libdemo:amd64"}, {"name": "tool"}])"));
    EXPECT_EQ(done["labelled"], Json::array());
    EXPECT_EQ(ok({"packages", "tool"}), "");
    EXPECT_EQ(ok({"packages", "libdemo:amd64"}), "");
    EXPECT_EQ(slurp(state_).find("\ntool\t"), std::string::npos) << slurp(state_);
    EXPECT_EQ(slurp(state_).find("\nlibdemo"), std::string::npos) << slurp(state_);

    // A package that cannot be labelled is reported, escaped, exits 1 and is tried again; the others, and packages of
    // other types or that dpkg never had, are left labelled.
    const std::string good = dir_.file("good"), bad = dir_.file("bad-\xff"), app = dir_.file("app"),
                      mine = dir_.file("mine");
    ASSERT_EQ(run({"package", "viewer", "-t", "lunvex"}, app + "\n"), 0) << err_;
    ASSERT_EQ(run({"package", "by-hand"}, mine + "\n"), 0) << err_;
    writeDatabase({{"broken", "1", "installed", "all", {bad}},
                   {"good", "1", "installed", "all", {good, "/proc"}},  // nothing keeps a label on /proc
                   {"viewer", "1", "installed", "all", {app}}});

    EXPECT_EQ(synced({}, 1), "labelled 1 files of good 1 (new)\n");
    EXPECT_NE(err_.find("sync-packages broken: the library refused the file list"), std::string::npos) << err_;
    EXPECT_NE(err_.find("sync-packages viewer: the service records this name as a Lunvex application"),
              std::string::npos)
        << err_;
    EXPECT_EQ(err_.find('\xff'), std::string::npos) << "a raw name byte reached the error output";
    EXPECT_EQ(ok({"packages", "good"}), good + "\n");
    EXPECT_EQ(ok({"packages", "viewer"}), app + "\n");
    EXPECT_EQ(ok({"packages", "by-hand"}), mine + "\n");

    const Json again = Json::parse(synced({"--json"}, 1));
    ASSERT_EQ(again["failed"].size(), 2u) << out_;
    EXPECT_EQ(again["failed"][0]["name"], "viewer");
    EXPECT_EQ(again["failed"][1]["name"], "broken");
    EXPECT_EQ(again["unchanged"], 1);
    EXPECT_EQ(again["labelled"], Json::array());
}

// A reply whose signature is not the member's fails the command, naming the member, before any of it is read (a list
// of another element type must not pass for an empty one).
TEST(AdminReplies, AReplyOfAnotherShapeFailsTheCommand) {
    zorvtest::PrivateBus bus;
    bus.start(true);
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    zorvtest::Standin standin;
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"history", "History", "zorv-label: the service answered History with something else\n"},
        {"packages", "Packages", "zorv-label: packages: the service answered Packages with something else\n"},
        {"restore -R /a", "Relabel", "zorv-label: the service answered Relabel with something else\n"},
    };
    for (const auto& [words, member, message] : cases) {
        standin.reply(member, {std::vector<std::string>{"/a"}});
        EXPECT_EQ(shell(words), message + std::string("\n1")) << member;
    }
}

}  // namespace
