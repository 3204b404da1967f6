// The library's calls against the real service on a private bus: every
// family end to end, durability across restarts and kills, access control,
// notifications and malformed calls.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <zorv/labelmgr.hpp>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "service_daemon.h"

using zorvtest::callService;
using zorvtest::ServiceConnection;
using zorvtest::WireValue;

namespace {

const uint64_t kNone64 = ~uint64_t(0);

class Service : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        daemon_ = new zorvtest::ServiceDaemon(ZORV_TEST_DAEMON);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", daemon_->address().c_str(), 1);
    }
    static void TearDownTestSuite() { delete daemon_; }
    void SetUp() override { daemon_->start(daemon_->newDatabase()); }
    void TearDown() override {
        if (daemon_->running()) {
            EXPECT_EQ(daemon_->stop(SIGTERM), 0) << "no clean shutdown";
        }
    }

    // Runs `body` in a child process as the unprivileged user 65534 and
    // returns what it wrote to `out`, line by line.
    static std::vector<std::string> asNobody(const std::function<void(std::ostream& out)>& body) {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            std::ostringstream out;
            if (setgid(65534) == 0 && setuid(65534) == 0) body(out);
            std::string text = out.str();
            _exit(write(fds[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1);
        }
        close(fds[1]);
        std::string text;
        char buf[512];
        for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, n);
        close(fds[0]);
        waitpid(pid, nullptr, 0);
        std::vector<std::string> lines;
        for (std::istringstream in(text); std::getline(in, text);) lines.push_back(text);
        return lines;
    }

    static zorvtest::ServiceDaemon* daemon_;
};
zorvtest::ServiceDaemon* Service::daemon_ = nullptr;

// One attribute's calls, its value widened to 64 bits.
struct Attribute {
    const char* name;
    std::function<int(const char*, uint64_t)> set;
    std::function<int(const char*, uint64_t*)> get;
    std::function<int(const char*)> del;
    std::function<int()> clear;
};

const std::vector<Attribute>& attributes() {
    static const std::vector<Attribute> all = {
        {"PkgId", [](const char* p, uint64_t v) { return setPkgId(p, v); },
         [](const char* p, uint64_t* v) { unsigned long x = 0; int rc = getPkgId(p, &x); *v = x; return rc; },
         [](const char* p) { return delUserSetPkgId(p); }, [] { return clearUserSetPkgId(); }},
        {"Oid", [](const char* p, uint64_t v) { return setFileOid(p, ZORV_ID{v, v + 1, v + 2}, 0); },
         [](const char* p, uint64_t* v) {
             ZORV_ID id{};
             int rc = getFileOid(p, &id);
             *v = id.file_id == id.pkg_id + 1 && id.path_id == id.pkg_id + 2 ? id.pkg_id : 0;
             return rc;
         },
         [](const char* p) { return delFileOid(p, 0); }, [] { return clearFileOid(); }},
        {"Sid", [](const char* p, uint64_t v) { return setFileSid(p, ZORV_ID{v, 0, v}, 0); },
         [](const char* p, uint64_t* v) { ZORV_ID id{}; int rc = getFileSid(p, &id); *v = id.path_id; return rc; },
         [](const char* p) { return delFileSid(p, 0); }, [] { return clearFileSid(); }},
        {"Tid", [](const char* p, uint64_t v) { return setFileTid(p, unsigned(v), 0); },
         [](const char* p, uint64_t* v) { unsigned x = 0; int rc = getFileTid(p, &x); *v = x; return rc; },
         [](const char* p) { return delFileTid(p, 0); }, [] { return clearFileTid(); }},
        {"InheritFlag", [](const char* p, uint64_t v) { return setFileInheritFlag(p, unsigned(v), 0); },
         [](const char* p, uint64_t* v) { unsigned x = 0; int rc = getFileInheritFlag(p, &x); *v = x; return rc; },
         [](const char* p) { return delFileInheritFlag(p, 0); }, [] { return clearFileInheritFlag(); }},
    };
    return all;
}

TEST_F(Service, EachAttributeIsSetReadDeletedAndCleared) {
    for (const Attribute& a : attributes()) {
        SCOPED_TRACE(a.name);
        const uint64_t v = 7, w = 5;  // both valid inherit flags
        uint64_t got = 0;
        EXPECT_EQ(a.get("/e2e/a", &got), -1);  // no record and no such file
        ASSERT_EQ(a.set("/e2e//a/", v), 0);    // kept under the path's normal form
        ASSERT_EQ(a.set("/e2e/b", w), 0);
        EXPECT_EQ(a.get("/e2e/a", &got), 0);
        EXPECT_EQ(got, v);
        EXPECT_EQ(a.del("/e2e/a"), 0);
        EXPECT_EQ(a.del("/e2e/a"), -1);  // nothing left to delete
        EXPECT_EQ(a.get("/e2e/a", &got), -1);
        EXPECT_EQ(a.get("/e2e/b", &got), 0);
        EXPECT_EQ(got, w);
        EXPECT_EQ(a.clear(), 0);
        EXPECT_EQ(a.get("/e2e/b", &got), -1);
    }
}

// The records a show or query call returned, taken over from the C heap.
std::vector<std::pair<std::string, uint64_t>> taken(int n, UserSetRecord*& records) {
    std::vector<std::pair<std::string, uint64_t>> out;
    for (int i = 0; i < n; ++i) out.emplace_back(records[i].path, records[i].id.pkg_id);
    if (n > 0) free(records);
    return out;
}

TEST_F(Service, RecordsAreShownAndQueriedInPathOrder) {
    using Records = std::vector<std::pair<std::string, uint64_t>>;
    for (auto [path, tid] : {std::pair{"/q/b", 5u}, {"/q/a", 7u}, {"/q/a/x", 8u}, {"/qq", 9u}})
        ASSERT_EQ(setFileTid(path, tid, 0), 0);
    ASSERT_EQ(setFileOid("/q/o", ZORV_ID{1, 2, 3}, 0), 0);
    ASSERT_EQ(setPkgId("/q/p", 4), 0);
    UserSetRecord* r = nullptr;
    EXPECT_EQ(taken(showUserSetFileTid(&r), r), (Records{{"/q/a", 7}, {"/q/a/x", 8}, {"/q/b", 5}, {"/qq", 9}}));
    EXPECT_EQ(taken(queryUserSetFileTid("/q/a", &r, 0), r), (Records{{"/q/a", 7}}));
    EXPECT_EQ(taken(queryUserSetFileTid("/q/", &r, 1), r), (Records{{"/q/a", 7}, {"/q/a/x", 8}, {"/q/b", 5}}));
    EXPECT_EQ(queryUserSetFileSid("/q/o", &r, 0), 0);
    ASSERT_EQ(showUserSetFileOid(&r), 1);
    EXPECT_EQ(std::make_tuple(r->id.pkg_id, r->id.file_id, r->id.path_id), std::make_tuple(1u, 2u, 3u));
    free(r);
    unsigned long pkg = 0;
    EXPECT_EQ(queryUserSetPkgId("/q/p", &pkg), 0);
    EXPECT_EQ(pkg, 4u);
    EXPECT_EQ(queryUserSetPkgId("/q/none", &pkg), 1);
    EXPECT_EQ(delFileTid("/q", 1), 0);  // the path and everything below it
    EXPECT_EQ(taken(showUserSetFileTid(&r), r), (Records{{"/qq", 9}}));
}

TEST_F(Service, PackagesDevicesAndPoliciesResolve) {
    EXPECT_EQ(getLabelSetStatus(), 0);
    char* files[] = {const_cast<char*>("/usr/bin/tool"), const_cast<char*>("/usr/lib/libtool.so")};
    ASSERT_EQ(setLabelForPkg(files, 2, "tool"), 0);
    ASSERT_EQ(setLabelForPkg(files, 1, "tool"), 0);  // replaces the package's set
    EXPECT_EQ(getLabelSetStatus(), 1);
    const char* names[] = {"tool", "nope"};
    unsigned long ids[2] = {};
    EXPECT_EQ(getPkgIds(names, 2, ids), 2);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(ids[1], kNone64);
    std::unique_ptr<char, decltype(&free)> name(getPkgNameById(1), &free);
    EXPECT_STREQ(name.get(), "tool");
    char* drova[] = {const_cast<char*>("/drova/t"), const_cast<char*>("/drova/x"), nullptr};
    char* host[] = {files[0], files[1], nullptr};
    EXPECT_EQ(setLabelForDrovaBaseFiles(drova + 1, host + 1), 1);  // its host file is no longer recorded
    drova[1] = host[1] = nullptr;
    EXPECT_EQ(setLabelForDrovaBaseFiles(drova, host), 0);

    std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>> resolved;
    ASSERT_EQ(policies_parse({{"object_pkg", {"tool", "nope"}},
                              {"subject_recurfile", {"/usr/lib/"}},
                              {"files", {"/usr/bin/tool", "/drova/t", "/drova/x", "/usr/lib/libtool.so"}}},
                             resolved),
              0);
    auto of = [&resolved](const char* category) {
        std::map<std::string, std::vector<uint64_t>> flat;
        for (const auto& [n, list] : resolved[category])
            for (const ZORV_ID& id : list) flat[n].insert(flat[n].end(), {id.pkg_id, id.file_id, id.path_id});
        return flat;
    };
    using Ids = std::map<std::string, std::vector<uint64_t>>;
    auto hash = [](const char* path) { return uint64_t(getSM3HashLast64Bits(path)); };
    EXPECT_EQ(of("object_pkg"), (Ids{{"tool", {1, 0, 0}}}));
    EXPECT_EQ(of("subject_recurfile"), (Ids{{"/usr/lib/", {0, 0, hash("/usr/lib")}}}));
    EXPECT_EQ(of("files"), (Ids{{"/drova/t", {1, 0, hash("/drova/t")}}, {"/drova/x", {0, 0, 0}},
                                 {"/usr/bin/tool", {1, 0, hash("/usr/bin/tool")}}, {"/usr/lib/libtool.so", {0, 0, 0}}}));

    addTagFullSystem("device", {"/dev/sda", "/dev/sdb"});
    addTagFullSystem("kmod", {"ext4"});
    unsigned long oid = 0;
    EXPECT_EQ(getDeviceOid("/dev/sda", &oid), 0);
    EXPECT_EQ(oid, getSM3HashLast64Bits("/dev/sda"));
    EXPECT_EQ(getDeviceOid("/dev/none", &oid), -1);
    std::map<std::string, ZORV_ID> oids;
    EXPECT_EQ(getDeviceOids({"/dev/none", "/dev/sdb"}, oids), 0);
    EXPECT_EQ(oids.size(), 1u);
    EXPECT_EQ(oids["/dev/sdb"].pkg_id, getSM3HashLast64Bits("/dev/sdb"));
    EXPECT_EQ(getKernelModuleOids({"ext4"}, oids), 0);
    EXPECT_EQ(oids["ext4"].pkg_id, getKmodNameHash("ext4", 4));
    EXPECT_EQ(getKernelModuleOid("ext4", &oid), 0);
    EXPECT_EQ(oid, getKmodNameHash("ext4", 4));
    std::unique_ptr<char, decltype(&free)> normal(pathNormalize("/a//b/../c/"), &free);
    EXPECT_STREQ(normal.get(), "/a/c");
    EXPECT_EQ(getPathSm3HashValue("/a//c"), getSM3HashValue("/a/c"));
}

// Getters fall back to the file's own label; restoring writes the label that
// the records give, with or without the user-set values.
TEST_F(Service, RestoreWritesTheRecordedLabelToTheFile) {
    char dir[] = "/tmp/zorv-restore-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/tool";
    std::ofstream(file) << "x";
    Label onDisk{Id(5, 6, 7), Id(), Id(), 9, 0};
    if (onDisk.setToXattr(file, true) != 0) {
        std::filesystem::remove_all(dir);
        if (std::getenv("ZORV_TEST_REQUIRE_XATTR")) FAIL() << "no security.zorv attributes on " << dir;
        GTEST_SKIP() << "no security.zorv attributes on " << dir;
    }
    unsigned tid = 0;
    ZORV_ID oid{};
    EXPECT_EQ(getFileTid(file.c_str(), &tid), 0);
    EXPECT_EQ(tid, 9u);
    EXPECT_EQ(getFileOid(file.c_str(), &oid), 0);
    EXPECT_EQ(oid.file_id, 6u);

    char* files[] = {const_cast<char*>(file.c_str()), nullptr};
    ASSERT_EQ(setLabelForLunvex(files, "restored"), 0);
    ASSERT_EQ(setFileTid(file.c_str(), 11, 0), 0);
    ASSERT_EQ(setFileInheritFlag(file.c_str(), 5, 0), 0);
    const Id own(1, 0, getSM3HashLast64Bits(file));
    for (auto [member, expected] : {std::pair{&restoreSingleFileLabel, Label{own, Id(1, 0, 0), Id(), 11, 5}},
                                    {&restoreSingleFileInitLabel, Label{own, Id(1, 0, 0), Id(), 4, 0}}}) {
        EXPECT_EQ(member(file), expected.toString());
        Label stored;
        EXPECT_EQ(stored.getFromXattr(file, true), 0);
        EXPECT_EQ(stored, expected);
    }
    // An interpreter's tree takes the file over as a package of its own.
    EXPECT_EQ(callService("setLabelForLunvexInterpreter", {file}), "1");  // past the library's own check
    EXPECT_EQ(setLabelForLunvexInterpreter(dir), 0);
    Label init{Id(2, 0, getSM3HashLast64Bits(file)), Id(2, 0, 0), Id(), 2, 0};  // the tree's package is the 2nd
    EXPECT_EQ(restoreSingleFileInitLabel(file), init.toString());
    std::filesystem::remove_all(dir);
}

// A stream of set calls from another process; the service is killed in the
// middle of it. Every call that was answered is there after a restart, and
// so is every record of a clean restart before that.
TEST_F(Service, AnsweredCallsSurviveRestartAndKill) {
    ASSERT_EQ(setFileTid("/keep/clean", 3, 0), 0);
    ASSERT_EQ(daemon_->stop(SIGTERM), 0);
    daemon_->start();
    unsigned tid = 0;
    EXPECT_EQ(getFileTid("/keep/clean", &tid), 0);
    EXPECT_EQ(tid, 3u);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t writer = fork();
    if (writer == 0) {
        close(fds[0]);
        ServiceConnection c;
        for (uint32_t i = 1; c.call("setFileTid", {"/keep/" + std::to_string(i), i, int32_t(0)}) == "0"; ++i)
            if (write(fds[1], &i, sizeof i) != sizeof i) break;
        _exit(0);
    }
    close(fds[1]);
    std::vector<uint32_t> answered;
    for (uint32_t i; read(fds[0], &i, sizeof i) == sizeof i;) {
        answered.push_back(i);
        if (answered.size() == 300) {
            EXPECT_EQ(daemon_->stop(SIGKILL), 128 + SIGKILL);
        }
    }
    close(fds[0]);
    waitpid(writer, nullptr, 0);
    ASSERT_GE(answered.size(), 300u);

    daemon_->start();  // over the socket file the killed service left behind
    for (uint32_t i : answered) {
        ASSERT_EQ(getFileTid(("/keep/" + std::to_string(i)).c_str(), &tid), 0) << i << " was answered, then lost";
        EXPECT_EQ(tid, i);
    }
    ASSERT_EQ(daemon_->stop(), 0);  // the service holds its database alone while it runs
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(daemon_->database().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    std::string check;
    sqlite3_exec(db, "PRAGMA integrity_check", [](void* out, int, char** v, char**) {
        *static_cast<std::string*>(out) += v[0];
        return 0;
    }, &check, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(check, "ok");

    // A database written by a newer version is left alone.
    ASSERT_EQ(sqlite3_open(daemon_->database().c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_THROW(daemon_->start(), std::runtime_error);
}

TEST_F(Service, OnlyRootChangesWhileEveryoneReads) {
    ASSERT_EQ(setFileTid("/acl/a", 5, 0), 0);
    std::vector<std::string> seen = asNobody([](std::ostream& out) {
        ServiceConnection c;
        out << c.call("setFileTid", {"/acl/a", uint32_t(6), int32_t(0)}) << "\n";
        out << c.call("delAllUserSetFileTid") << "\n";
        out << c.call("setLabelForPkg", {std::vector<std::string>{"/acl/a"}, "p", uint32_t(1)}) << "\n";
        out << c.call("getFileTid", {"/acl/a"}) << "\n";
        out << c.call("showUserSetFileTid") << "\n";
    });
    const std::string denied = "error org.freedesktop.DBus.Error.AccessDenied";
    EXPECT_EQ(seen, (std::vector<std::string>{denied, denied, denied, "5", "{\"/acl/a\": 5}"}));
    unsigned tid = 0;
    EXPECT_EQ(getFileTid("/acl/a", &tid), 0);
    EXPECT_EQ(tid, 5u);
    EXPECT_EQ(callService("getPkgIds", {std::vector<std::string>{"p"}}), "[18446744073709551615] 1");
}

// One notification per committed change, in order; none for a refused call
// or for one that changed nothing. A topic selects one attribute's changes.
TEST_F(Service, EachCommittedChangeIsAnnouncedOnce) {
    daemon_->stop();
    daemon_->start("", "ipc:///tmp/zorv_label_manager.socket");
    using Subscriber = std::unique_ptr<void, decltype(&destroySubscriber)>;
    Subscriber all(createSubscriber(), &destroySubscriber), oid(createSubscriber(), &destroySubscriber);
    ASSERT_EQ(subscribeLabelChangeMsg(all.get(), ""), 0);
    ASSERT_EQ(subscribeLabelChangeMsg(oid.get(), "oid"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // both connected before the first change

    ASSERT_EQ(setFileTid("/n/a", 5, 0), 0);
    asNobody([](std::ostream&) { ServiceConnection().call("setFileTid", {"/n/a", uint32_t(6), int32_t(0)}); });
    ASSERT_EQ(delFileTid("/n/none", 0), -1);
    ASSERT_EQ(clearFileSid(), 0);
    ASSERT_EQ(setFileOid("/n/b", ZORV_ID{1, 2, 3}, 0), 0);
    ASSERT_EQ(clearFileTid(), 0);

    alarm(20);  // a missing notification fails the test instead of hanging it
    auto next = [](void* handle) {
        char* msg = nullptr;
        std::string text = recvLabelChangeMsg(handle, &msg) == 0 ? msg : "";
        free(msg);
        return text;
    };
    EXPECT_EQ(next(all.get()), R"({"member":"setFileTid","path":"/n/a"})");
    EXPECT_EQ(next(all.get()), R"({"member":"setFileOid","path":"/n/b"})");
    EXPECT_EQ(next(all.get()), R"({"count":1,"member":"delAllUserSetFileTid"})");
    EXPECT_EQ(next(oid.get()), R"({"member":"setFileOid","path":"/n/b"})");
    alarm(0);
}

TEST_F(Service, MalformedCallsGetErrorsAndTheServiceGoesOn) {
    const std::string invalid = "error org.freedesktop.DBus.Error.InvalidArgs";
    const std::vector<std::string> list{"/m/a"};
    struct Case {
        const char* member;
        std::vector<WireValue> args;
        std::string expected;
    } cases[] = {
        {"getFileTid", {uint32_t(1)}, invalid},
        {"getFileTid", {"/m", "/m"}, invalid},
        {"noSuchMember", {}, "error org.freedesktop.DBus.Error.UnknownMethod"},
        {"getFileTid", {"relative/path"}, invalid},
        {"getFileTid", {"/" + std::string(4095, 'x')}, invalid},
        {"setFileTid", {"/m/a", uint32_t(0), int32_t(0)}, invalid},
        {"setFileInheritFlag", {"/m/a", uint32_t(3), int32_t(0)}, invalid},
        {"setFileOid", {"/m/a", std::map<std::string, uint64_t>{{"bogus", 1}}, int32_t(0)}, invalid},
        {"setFileOid", {"/m/a", std::map<std::string, uint64_t>{{"pkg_id", kNone64}, {"file_id", kNone64},
                                                                 {"path_id", kNone64}}, int32_t(0)}, invalid},
        {"delUserSetFileTid", {"/m/a", int32_t(7)}, invalid},
        {"setLabelForPkg", {list, "p", uint32_t(2)}, invalid},
        {"setLabelForPkg", {list, "", uint32_t(1)}, invalid},
        {"addTagFullSystem", {"everything", list}, invalid},
        {"policies_parse", {std::map<std::string, std::vector<std::string>>{{"object_recurfile", {"x"}}}}, invalid},
        {"getPkgNameById", {uint64_t(99)}, "error com.nimbo.zorv.labelmgr.Error.NotFound"},
        {"restoreSingleFileLabel", {"/m/none"}, "error com.nimbo.zorv.labelmgr.Error.NotFound"},
    };
    for (const Case& c : cases) EXPECT_EQ(callService(c.member, c.args), c.expected) << c.member;

    // A list longer than D-Bus allows never reaches the service whole.
    std::vector<std::string> huge(64 * 1024, "/" + std::string(1023, 'h'));
    EXPECT_EQ(callService("setLabelForPkg", {huge, "p", uint32_t(1)}).substr(0, 6), "error ");

    EXPECT_EQ(setFileTid("/m/a", 9, 0), 0);
    unsigned tid = 0;
    EXPECT_EQ(getFileTid("/m/a", &tid), 0);
    EXPECT_EQ(tid, 9u);
}

}  // namespace
