// The library against the real service: every family end to end, durability, access, notifications, malformed calls.
#include <gtest/gtest.h>
#include <zorv/labelmgr.hpp>

#include "util/file_descriptor.h"
#include "util/sanitizer_build.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstdlib>

#include "scratch_dir.h"
#include "scratch_endpoint.h"
#include "id_equality.h"
#include "log_capture.h"
#include "as_user.h"
#include "daemon_suite.h"
#include "process_memory.h"
#include "wait_until.h"
#include "zmtp_frames.h"

using zorvtest::ServiceConnection;

namespace {

const uint64_t kNone64 = ~uint64_t(0);

class Service : public zorvtest::DaemonSuite {};

using Subscriber = std::unique_ptr<void, decltype(&destroySubscriber)>;

Subscriber subscribed(const std::string& topic = "") {
    Subscriber handle(createSubscriber(), &destroySubscriber);
    EXPECT_EQ(subscribeLabelChangeMsg(handle.get(), topic), 0);
    return handle;
}

// The records a show or query call returned, taken over from the C heap.
std::vector<std::pair<std::string, uint64_t>> taken(int n, UserSetRecord*& records) {
    std::vector<std::pair<std::string, uint64_t>> out;
    for (int i = 0; i < n; ++i) out.emplace_back(records[i].path, records[i].id.pkg_id);
    if (n > 0) free(records);
    return out;
}

// Each attribute's values set, read, deleted and cleared, records shown and queried; malformed calls refused.
TEST_F(Service, RecordsAreSetReadShownQueriedDeletedAndClearedAndMalformedCallsRefused) {
    using Dict = std::map<std::string, uint64_t>;
    const std::string ones = "18446744073709551615";
    const std::string none = R"({"file_id": )" + ones + R"(, "path_id": )" + ones + R"(, "pkg_id": )" + ones + "}";
    const Dict v{{"pkg_id", 7}, {"file_id", 8}, {"path_id", 9}}, w{{"pkg_id", 5}, {"file_id", 0}, {"path_id", 4}};
    const char* vText = R"({"file_id": 8, "path_id": 9, "pkg_id": 7})";
    const char* wText = R"({"file_id": 0, "path_id": 4, "pkg_id": 5})";
    // Per attribute: its members' stem, two values (valid inherit flags) as sent and as read, and what reads as none.
    const std::tuple<std::string, zorvtest::WireValue, zorvtest::WireValue, std::string, std::string, std::string>
        attributes[] = {{"PkgId", uint64_t(7), uint64_t(5), "7", "5", ones},
                        {"FileOid", v, w, vText, wText, none},
                        {"FileSid", v, w, vText, wText, none},
                        {"FileTid", 7u, 5u, "7", "5", "4294967295"},
                        {"FileInheritFlag", 7u, 5u, "7", "5", "4294967295"}};
    for (const auto& [stem, a, b, aText, bText, nothing] : attributes) {
        SCOPED_TRACE(stem);
        auto withOption = [option = stem != "PkgId"](std::vector<zorvtest::WireValue> args) {  // not a package's
            if (option) args.push_back(int32_t(0));
            return args;
        };
        ServiceConnection c;
        ASSERT_EQ(c.call("set" + stem, withOption({"/e2e//a/", a})), "0");  // kept under the path's normal form
        ASSERT_EQ(c.call("set" + stem, withOption({"/e2e/b", b})), "0");
        EXPECT_EQ(c.call("get" + stem, {"/e2e/a"}), aText);
        EXPECT_EQ(c.call("delUserSet" + stem, withOption({"/e2e/a"})), "0");
        EXPECT_EQ(c.call("delUserSet" + stem, withOption({"/e2e/a"})), "-1");  // nothing left to delete
        EXPECT_EQ(c.call("get" + stem, {"/e2e/a"}), nothing);                   // no record and no such file
        EXPECT_EQ(c.call("get" + stem, {"/e2e/b"}), bText);
        EXPECT_EQ(c.call("delAllUserSet" + stem), "0");
        EXPECT_EQ(c.call("get" + stem, {"/e2e/b"}), nothing);
    }

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
    EXPECT_EQ(r->id, (ZORV_ID{1, 2, 3}));
    free(r);
    unsigned long pkg = 0;
    EXPECT_EQ(queryUserSetPkgId("/q/p", &pkg), 0);
    EXPECT_EQ(pkg, 4u);
    EXPECT_EQ(queryUserSetPkgId("/q/none", &pkg), 1);
    EXPECT_EQ(delFileTid("/q", 1), 0);  // the path and everything below it
    EXPECT_EQ(taken(showUserSetFileTid(&r), r), (Records{{"/qq", 9}}));

    // A call refused on its merits gets its reply's failure value where the reply has one, else a D-Bus error.
    const std::string invalid = "error org.freedesktop.DBus.Error.InvalidArgs";
    const std::vector<std::string> list{"/m/a"};
    const Dict allOnes{{"pkg_id", kNone64}, {"file_id", kNone64}, {"path_id", kNone64}};
    const std::tuple<const char*, std::vector<zorvtest::WireValue>, std::string> cases[] = {
        {"noSuchMember", {}, "error org.freedesktop.DBus.Error.UnknownMethod"},
        {"getFileTid", {"relative/path"}, "4294967295"},
        {"getPkgId", {"/" + std::string(4095, 'x')}, ones},
        {"getFileOid", {"relative/path"}, none},
        {"setFileTid", {"/m/a", uint32_t(0), int32_t(0)}, "-1"},
        {"setFileInheritFlag", {"/m/a", uint32_t(3), int32_t(0)}, "-1"},
        {"setFileOid", {"/m/a", Dict{{"bogus", 1}}, int32_t(0)}, "-1"},
        {"setFileOid", {"/m/a", allOnes, int32_t(0)}, "-1"},
        {"delUserSetFileTid", {"/m/a", int32_t(7)}, "-1"},
        {"setPkgId", {"/m/a", kNone64}, "-1"},
        {"setLabelForPkg", {list, "p", uint32_t(2)}, "2"},
        {"setLabelForPkg", {list, "", uint32_t(1)}, "2"},
        {"addTagFullSystem", {"everything", list}, "-1"},
        {"policies_parse", {std::map<std::string, std::vector<std::string>>{{"object_recurfile", {"x"}}}}, invalid},
        {"getPkgNameById", {uint64_t(99)}, "error com.nimbo.zorv.labelmgr.Error.NotFound"},
        {"restoreSingleFileLabel", {"/m/none"}, "error com.nimbo.zorv.labelmgr.Error.NotFound"},
    };
    for (const auto& [member, args, expected] : cases)
        EXPECT_EQ(ServiceConnection().call(member, args), expected) << member;
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
    EXPECT_EQ(std::make_tuple(ids[0], ids[1]), std::make_tuple(1ul, kNone64));
    std::unique_ptr<char, decltype(&free)> name(getPkgNameById(1), &free);
    EXPECT_STREQ(name.get(), "tool");
    char* drova[] = {const_cast<char*>("/drova/t"), const_cast<char*>("/drova/x"), nullptr};
    char* host[] = {files[0], files[1], nullptr};
    EXPECT_EQ(setLabelForDrovaBaseFiles(drova + 1, host + 1), 1);  // its host file is no longer recorded
    drova[1] = host[1] = nullptr;
    EXPECT_EQ(setLabelForDrovaBaseFiles(drova, host), 0);

    std::map<std::string, std::map<std::string, std::vector<ZORV_ID>>> resolved;
    ASSERT_EQ(policies_parse({{"object_pkg", {"tool", "nope"}}, {"subject_recurfile", {"/usr/lib/"}},
                              {"files", {"/usr/bin/tool", "/drova/t", "/drova/x", "/usr/lib/libtool.so"}}},
                             resolved),
              0);
    using Ids = std::map<std::string, std::vector<ZORV_ID>>;
    auto hash = getSM3HashLast64Bits;
    EXPECT_EQ(resolved["object_pkg"], (Ids{{"tool", {{1, 0, 0}}}}));
    EXPECT_EQ(resolved["subject_recurfile"], (Ids{{"/usr/lib/", {{0, 0, hash("/usr/lib")}}}}));
    EXPECT_EQ(resolved["files"], (Ids{{"/drova/t", {{1, 0, hash("/drova/t")}}}, {"/drova/x", {{0, 0, 0}}},
                                      {"/usr/bin/tool", {{1, 0, hash("/usr/bin/tool")}}},
                                      {"/usr/lib/libtool.so", {{0, 0, 0}}}}));

    // Devices and kernel modules keep the identifiers their names hash to.
    addTagFullSystem("device", {"/dev/sda", "/dev/sdb"});
    addTagFullSystem("kmod", {"ext4"});
    unsigned long oid = 0;
    EXPECT_EQ(getDeviceOid("/dev/sda", &oid), 0);
    EXPECT_EQ(oid, hash("/dev/sda"));
    EXPECT_EQ(getDeviceOid("/dev/none", &oid), -1);
    std::map<std::string, ZORV_ID> oids;
    EXPECT_EQ(getDeviceOids({"/dev/none", "/dev/sdb"}, oids), 0);
    EXPECT_EQ(oids, (std::map<std::string, ZORV_ID>{{"/dev/sdb", {hash("/dev/sdb"), 0, 0}}}));
    EXPECT_EQ(getKernelModuleOids({"ext4"}, oids), 0);
    EXPECT_EQ(oids["ext4"].pkg_id, getKmodNameHash("ext4", 4));
    EXPECT_EQ(getPathSm3HashValue("/a//c"), getSM3HashValue("/a/c"));

    // Packages (type: the lowest of their files') and their files in byte order, a page at a time.
    char* app[] = {const_cast<char*>("/opt/app/b"), const_cast<char*>("/opt/app/a"), nullptr};
    ASSERT_EQ(setLabelForLunvex(app, "app"), 0);
    const char* admin = zorv::protocol::kAdminInterface;
    ServiceConnection c;
    EXPECT_EQ(c.call("Packages", {uint64_t(0), 0u}, admin), R"([(1 "tool" 1 2), (2 "app" 4 2)])");
    EXPECT_EQ(c.call("Packages", {uint64_t(1), 1u}, admin), R"([(2 "app" 4 2)])");
    EXPECT_EQ(c.call("PackageFiles", {"app", "", 1u}, admin), R"(["/opt/app/a"])");
    EXPECT_EQ(c.call("PackageFiles", {"app", "/opt/app/a", 0u}, admin), R"(["/opt/app/b"])");
    EXPECT_EQ(c.call("PackageFiles", {"nope", "", 0u}, admin), "error com.nimbo.zorv.labelmgr.Error.NotFound");
}

// Getters fall back to the file's own label; restoring writes the records' label, with or without user-set values.
TEST_F(Service, RestoreWritesTheRecordedLabelToTheFile) {
    zorvtest::ScratchDir dir;
    const std::string file = dir.file("tool");
    ZORV_SKIP_WITHOUT_XATTR((Label{Id(5, 6, 7), Id(), Id(), 9, 0}.setToXattr(file, true) != 0), dir.path());
    unsigned tid = 0;
    ZORV_ID oid{};
    EXPECT_EQ(std::make_tuple(getFileTid(file.c_str(), &tid), getFileOid(file.c_str(), &oid)), std::make_tuple(0, 0));
    EXPECT_EQ(std::make_tuple(tid, oid.file_id), std::make_tuple(9u, 6ul));

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
    EXPECT_EQ(ServiceConnection().call("setLabelForLunvexInterpreter", {file}), "1");  // past the library's own check
    EXPECT_EQ(setLabelForLunvexInterpreter(dir.path().c_str()), 0);
    Label init{Id(2, 0, getSM3HashLast64Bits(file)), Id(2, 0, 0), Id(), 2, 0};  // the tree's package is the 2nd
    EXPECT_EQ(restoreSingleFileInitLabel(file), init.toString());
}

// Every call answered before a kill, and a record kept over a clean restart, are there after a restart.
TEST_F(Service, AnsweredCallsSurviveRestartAndKill) {
    ASSERT_EQ(setFileTid("/keep/0", 1, 0), 0);
    ASSERT_EQ(daemon_->stop(SIGTERM), 0);
    daemon_->start();

    std::atomic<uint32_t> last{0};  // the calls 1..last have been answered
    std::thread writer([&last] {
        ServiceConnection c;
        for (uint32_t i = 1; c.call("setFileTid", {"/keep/" + std::to_string(i), i + 1, int32_t(0)}) == "0"; ++i)
            last = i;
    });
    zorvtest::waitUntil([&last] { return last >= 300; });
    EXPECT_EQ(daemon_->stop(SIGKILL), 128 + SIGKILL);
    writer.join();
    ASSERT_GE(last, 300u);

    daemon_->start();  // over the socket file the killed service left behind
    for (uint32_t i = 0, tid = 0; i <= last; ++i) {
        ASSERT_EQ(getFileTid(("/keep/" + std::to_string(i)).c_str(), &tid), 0) << i << " was answered, then lost";
        EXPECT_EQ(tid, i + 1);
    }
    ASSERT_EQ(daemon_->stop(), 0);
    EXPECT_EQ(runSql("PRAGMA integrity_check"), "ok");
}

// Only root changes labels. One notification per committed change, in order; none for a refused call or one that
// changed nothing. A topic selects one attribute's changes.
TEST_F(Service, OnlyRootChangesAndEachChangeIsAnnouncedOnce) {
    zorvtest::ScratchEndpoint endpoint;  // the service takes it from the variable, as the library does
    daemon_->stop();
    daemon_->start(endpoint.endpoint(), false);
    Subscriber all = subscribed(), oid = subscribed("oid");
    // Subscriptions connect in the background: a probe is changed until both have heard of it; `next` skips probes.
    const std::string probe = R"("path":"/n/probe")";
    bool heardAll = false, heardOid = false;
    ASSERT_TRUE(zorvtest::waitUntil([&, round = 0u]() mutable {
        EXPECT_EQ(setFileOid("/n/probe", ZORV_ID{1, 1, ++round}, 0), 0);  // a new value each time: a change
        for (auto [handle, heard] : {std::pair{all.get(), &heardAll}, std::pair{oid.get(), &heardOid}}) {
            char* msg = nullptr;
            if (!*heard && recvLabelChangeMsgWithin(handle, &msg, 200) == 0) *heard = true;
            free(msg);
        }
        return heardAll && heardOid;
    })) << "a subscriber never connected";

    ASSERT_EQ(setFileTid("/n/a", 5, 0), 0);
    // User 65534 may not change: the reply's failure value (a bulk call's 3), so that the library reports -1, not -2.
    EXPECT_EQ(zorvtest::asUser(zorvtest::kNobody, {}, [] {
                  ServiceConnection c;
                  return c.call("setFileTid", {"/n/a", uint32_t(6), int32_t(0)}) + " " + c.call("delAllUserSetFileTid") +
                         " " + c.call("setLabelForPkg", {std::vector<std::string>{"/n/a"}, "p", uint32_t(1)});
              }),
              "-1 -1 3");
    EXPECT_EQ(ServiceConnection().call("getPkgIds", {std::vector<std::string>{"p"}}), "[18446744073709551615] 1");
    ASSERT_EQ(delFileTid("/n/none", 0), -1);
    ASSERT_EQ(clearFileSid(), 0);
    ASSERT_EQ(setFileOid("/n/b", ZORV_ID{1, 2, 3}, 0), 0);
    ASSERT_EQ(clearFileTid(), 0);

    auto next = [&probe](void* handle) {  // "" when none comes within 20 s
        for (;;) {
            char* msg = nullptr;
            std::string text = recvLabelChangeMsgWithin(handle, &msg, 20000) == 0 ? msg : "";
            free(msg);
            if (text.find(probe) == std::string::npos) return text;
        }
    };
    EXPECT_EQ(next(all.get()), R"({"member":"setFileTid","path":"/n/a","uid":0})");
    EXPECT_EQ(next(all.get()), R"({"member":"setFileOid","path":"/n/b","uid":0})");
    EXPECT_EQ(next(all.get()), R"({"count":1,"member":"delAllUserSetFileTid","uid":0})");
    EXPECT_EQ(next(oid.get()), R"({"member":"setFileOid","path":"/n/b","uid":0})");
}

// The notification channel against a local user who tries to stop, forge or grow it; each test starts the service.
class Channel : public Service {
protected:
    void SetUp() override { daemon_->newDatabase(); }
    zorvtest::ScratchEndpoint endpoint_;
};

// The first notification `handle` receives while a change is made each 50 ms; "<failed>" when none came in 30 s.
std::string firstNotification(void* handle) {
    char* msg = nullptr;
    int i = 0;
    zorvtest::waitUntil([&] {
        setFileTid(("/w/" + std::to_string(++i)).c_str(), 1, 0);
        return recvLabelChangeMsgWithin(handle, &msg, 50) == 0;
    });
    const std::string text = msg ? msg : "<failed>";
    free(msg);
    return text.substr(0, 22);
}

const char* const kRealChange = R"({"member":"setFileTid")";
// The start of the greeting the service writes at once on a connection it accepts (one it refuses is closed).
const std::string kGreeting = zmtp::greeting().substr(0, 11);
using Connection = zorv::detail::FileDescriptor;

using Clock = std::chrono::steady_clock;
Clock::time_point secondsFromNow(int seconds) { return Clock::now() + std::chrono::seconds(seconds); }

// Reads `fd` until `wanted` has come ("heard"), the other end closed ("end"), or `deadline` passed ("silent").
std::string readOn(int fd, Clock::time_point deadline, const std::string& wanted = "") {
    std::string got;
    for (;;) {
        if (!wanted.empty() && got.find(wanted) != std::string::npos) return "heard";
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd ready{fd, POLLIN, 0};
        if (ms <= 0) return "silent";
        if (poll(&ready, 1, int(ms)) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "end";
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

// A raw connection to the notification socket `file`; -1 when nothing listened there within 30 s.
int connectTo(const std::string& file) {
    sockaddr_un address{AF_UNIX, {}};
    file.copy(address.sun_path, sizeof address.sun_path - 1);
    int fd = -1;
    zorvtest::waitUntil([&] {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return true;
        const int error = errno;
        close(fd);
        fd = -1;
        return error != ENOENT && error != ECONNREFUSED;
    });
    return fd;
}

// A handshake and `count` distinct subscriptions of `size` bytes, written raw; returns once the service read them.
void subscribeRaw(const std::string& file, int count, std::size_t size) {
    const Connection fd(connectTo(file));
    if (!fd.valid()) return;
    std::string out = zmtp::handshake(), topic(size, 't');
    for (int i = 0; i < count; ++i) {
        out += zmtp::subscribe(topic.replace(0, 8, std::to_string(10000000 + i)), true);
        if (i + 1 == count || out.size() > (1 << 20)) {
            if (send(fd.get(), out.data(), out.size(), MSG_NOSIGNAL) < 0) return;
            out.clear();
        }
    }
    zorvtest::waitUntil([&] {
        int unread = 0;
        return ioctl(fd.get(), SIOCOUTQ, &unread) != 0 || unread == 0;
    });
}

struct Children {  // killed when the test ends, however it ends
    ~Children() {
        for (pid_t pid : pids) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }
    std::vector<pid_t> pids;
};

// A directory squatting the socket's path (a link to root's file inside) neither stops the service nor costs that
// file; 300 subscriptions of 1 MB and 100000 short ones cost it no memory, and it goes on publishing.
TEST_F(Channel, SquattedPathsAndHoardedSubscriptionsCostTheServiceNothing) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    zorvtest::ScratchDir other;
    const std::string victim = other.file("victim"), file = endpoint_.file();
    waitpid(zorvtest::startAsUser(zorvtest::kNobody, {}, [&] {
                if (mkdir(file.c_str(), 0777) == 0 && symlink(victim.c_str(), (file + "/victim").c_str()) != 0)
                    _exit(1);
            }),
            nullptr, 0);
    ASSERT_TRUE(std::filesystem::is_directory(file));
    daemon_->start(endpoint_.endpoint());
    EXPECT_TRUE(std::filesystem::exists(victim));

    const long before = zorvtest::memoryKiB(daemon_->pid());
    waitpid(zorvtest::startAsUser(zorvtest::kNobody, {}, [&] {
                subscribeRaw(file, 300, 1000000);
                subscribeRaw(file, 100000, 20);
            }),
            nullptr, 0);
#if defined(ZORV_ADDRESS_SANITIZER) || defined(ZORV_THREAD_SANITIZER)
    const long allowedKiB = 32 * 1024;  // the sanitizers' shadow and quarantine grow with what is touched
#else
    const long allowedKiB = 8 * 1024;
#endif
    EXPECT_LT(zorvtest::memoryKiB(daemon_->pid()) - before, allowedKiB) << "KiB resident before: " << before;
    EXPECT_EQ(firstNotification(subscribed("t").get()), kRealChange);
}

// The user binds the endpoint whenever its path is free and publishes forgeries: subscribers hear the service only.
TEST_F(Channel, AnImpostorNeverReachesASubscriber) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    const std::string file = endpoint_.file(), address = endpoint_.endpoint();
    int rounds[2];  // a byte for every round of the impostor's, so that the test knows it has had its chance
    ASSERT_EQ(pipe2(rounds, O_CLOEXEC | O_NONBLOCK), 0);
    const Connection roundsRead(rounds[0]);
    Children impostor;
    impostor.pids.push_back(zorvtest::startAsUser(zorvtest::kNobody, {}, [&] {
        auto spare = std::make_unique<ZMQSocket>(ZMQSocket::PUB);
        std::vector<std::unique_ptr<ZMQSocket>> bound;
        for (;;) {
            struct stat st {};
            if (lstat(file.c_str(), &st) != 0 || st.st_uid != getuid()) {
                try {
                    spare->bind(address);
                    bound.push_back(std::exchange(spare, std::make_unique<ZMQSocket>(ZMQSocket::PUB)));
                } catch (const std::runtime_error&) {
                }
            }
            for (auto& pub : bound) pub->send("tid", true), pub->send("forged", false);
            (void)!write(rounds[1], "r", 1);
            usleep(5000);  // the impostor's pace, so that it leaves the service a core; no wait on anything
        }
    }));
    ::close(rounds[1]);
    ASSERT_TRUE(zorvtest::waitUntil([&] { return std::filesystem::exists(file); })) << "the impostor never bound";
    zorvtest::LogCapture log;
    Subscriber all = subscribed();
    EXPECT_TRUE(zorvtest::waitUntil([&] { return log.contains("Not connecting to"); }))
        << "the subscriber never looked at the impostor's endpoint";
    daemon_->start(address);
    EXPECT_EQ(firstNotification(all.get()), kRealChange);
    // A subscriber that has heard the service, across its restart.
    Subscriber later = subscribed();
    ASSERT_EQ(firstNotification(later.get()), kRealChange);
    ASSERT_EQ(daemon_->stop(), 0);
    char buffer[4096];
    while (read(rounds[0], buffer, sizeof buffer) > 0) {
    }
    EXPECT_EQ(readOn(rounds[0], secondsFromNow(30), "rr"), "heard") << "the impostor stopped trying";
    daemon_->start(address);
    EXPECT_EQ(firstNotification(later.get()), kRealChange);
}

// Unfinished handshakes are closed after a while, a finished one hears changes; when eight users hold every place
// without a handshake, root's subscribers still get in at once.
TEST_F(Channel, UnfinishedHandshakesAreClosedAndHeldPlacesKeepNoRootSubscriberOut) {
    daemon_->start(endpoint_.endpoint());
    const std::string file = endpoint_.file();
    const std::string handshake = zmtp::handshake();
    const std::pair<const char*, std::string> sent[] = {
        {"nothing", ""}, {"half a greeting", handshake.substr(0, 30)}, {"a greeting", handshake.substr(0, 64)},
        {"a handshake", handshake + zmtp::subscribe("")}};
    std::vector<Connection> connections;
    const auto deadline = secondsFromNow(60);
    for (const auto& [what, bytes] : sent) {
        connections.emplace_back(connectTo(file));
        const int fd = connections.back().get();
        ASSERT_GE(fd, 0) << what;
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size())) << what;
        ASSERT_EQ(readOn(fd, deadline, kGreeting), "heard") << what;
    }
    for (std::size_t i = 0; i + 1 < connections.size(); ++i)
        EXPECT_EQ(readOn(connections[i].get(), deadline), "end") << "still open after " << sent[i].first;
    ASSERT_EQ(setFileTid("/h/a", 1, 0), 0);
    EXPECT_EQ(readOn(connections.back().get(), secondsFromNow(30), kRealChange), "heard");

    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    int report[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    const Connection reports(report[0]), reporting(report[1]);
    Children users;
    const pid_t test = getpid();
    for (uid_t uid : {zorvtest::kNobody, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
        users.pids.push_back(zorvtest::startAsUser(uid, {}, [&] {
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != test) _exit(1);  // gone with the test
            // Each connection is accepted (greeted) or refused (ended) first.
            for (int i = 0; i < 64; ++i) readOn(connectTo(file), secondsFromNow(30), kGreeting);
            if (write(report[1], ".", 1) != 1) _exit(1);
            pause();
        }));
    }
    ASSERT_EQ(readOn(report[0], secondsFromNow(60), std::string(users.pids.size(), '.')), "heard")
        << "not every user has had its connections accepted or refused";
    const Connection root(connectTo(file));
    ASSERT_EQ(readOn(root.get(), secondsFromNow(30), kGreeting), "heard") << "root refused while others hold theirs";
    EXPECT_EQ(firstNotification(subscribed().get()), kRealChange);
}

}  // namespace
