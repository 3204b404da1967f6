// The service against hostile local users, and against a bus that dies under it.
#include <gtest/gtest.h>
#include <zorv/labelmgr.hpp>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <cstdlib>

#include "as_user.h"
#include "emulator.h"
#include "protocol/members.h"
#include "protocol/service_names.h"
#include "scratch_dir.h"
#include "daemon_suite.h"
#include "process_memory.h"
#include "stalled_fs.h"
#include "util/file_descriptor.h"
#include "wait_until.h"

using zorvtest::asUser;
using zorvtest::kNobody;
using zorvtest::ServiceConnection;

namespace {

const std::string kNoTid = "4294967295";
// `count` Tid records of 4,000-byte paths: the listing of 6,000 takes 24 MB.
std::string manyLongPaths(int count) {
    return "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(count) +
           ") INSERT INTO user_set SELECT 3, printf('/%04d', i) || hex(zeroblob(1998)) || 'x', 7, 0, 0 FROM n";
}

class Hostile : public zorvtest::DaemonSuite {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "the hostile user is played by root dropping to uid 65534";
        daemon_->newDatabase().start();
    }
    static void withDatabase(const std::string& sql) {
        ASSERT_EQ(daemon_->stop(), 0);
        runSql(sql);
        daemon_->start();
    }
};

std::string getTid(const std::string& path) { return ServiceConnection().call("getFileTid", {path}); }

// A refused setFileTid of a 4,095-byte path, asking for an answer once (the service then knows the caller), `count`
// times not, then again: the last answer, which comes once the service has taken them all.
std::string floodOfRefusals(int count) {
    ServiceConnection bus;
    const std::string path = "/" + std::string(4094, 'f');
    if (bus.call("setFileTid", {path, 5u, int32_t(0)}) != "-1") return "not refused";
    for (int i = 0; i < count; ++i) {
        ServiceConnection::Reply call =
            ServiceConnection::newCall(zorv::protocol::kInterface, "setFileTid", {path, 5u, int32_t(0)});
        dbus_message_set_no_reply(call.get(), TRUE);
        dbus_connection_send(bus.get(), call.get(), nullptr);
    }
    return bus.call("setFileTid", {path, 5u, int32_t(0)});
}

// A file's own label is read for a caller only where it reaches the file (missing and unreachable look alike); records
// stay readable by everyone. A directory swapped for a link does not steer root's restore into root's directory.
TEST_F(Hostile, FileLabelsAreReadOnlyWhereTheCallerReachesThemAndRestoreFollowsNoLink) {
    zorvtest::ScratchDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string open = dir.file("open/f"), secret = dir.file("secret/f"), shared = dir.file("shared/f");
    ZORV_SKIP_WITHOUT_XATTR((Label{Id(), Id(), Id(), 9, 0}.setToXattr(open, true) != 0), dir.path());
    for (auto [name, tid, mode] : {std::tuple{"open", 9u, 0755}, {"secret", 8u, 0700}, {"shared", 7u, 0710}}) {
        ASSERT_EQ((Label{Id(), Id(), Id(), tid, 0}.setToXattr(dir / name + "/f", true)), 0);
        ::chmod((dir / name).c_str(), mode);
    }
    ASSERT_EQ(::chown((dir / "shared").c_str(), 0, 100), 0);

    auto tids = [&] { return getTid(open) + " " + getTid(secret) + " " + getTid(shared) + " " + getTid(dir / "none"); };
    EXPECT_EQ(asUser(kNobody, {}, tids), "9 " + kNoTid + " " + kNoTid + " " + kNoTid);
    EXPECT_EQ(asUser(kNobody, {100}, tids), "9 " + kNoTid + " 7 " + kNoTid);  // its group may search "shared"
    EXPECT_EQ(tids(), "9 8 7 " + kNoTid);

    ASSERT_EQ(setFileTid(secret.c_str(), 5, 0), 0);
    EXPECT_EQ(asUser(kNobody, {}, [&] { return getTid(secret); }), "5");

    const std::string plan = dir.file("secret/plan"), own = dir.file("home/sub/plan");
    char* files[] = {const_cast<char*>(own.c_str()), nullptr};
    ASSERT_EQ(setLabelForPkg(files, 1, "victim"), 0);
    std::filesystem::rename(dir / "home/sub", dir / "home/away");
    dir.link(dir / "secret", "home/sub");
    EXPECT_EQ(restoreSingleFileInitLabel(own), "");
    Label label;
    EXPECT_NE(label.getFromXattr(plan, true), 0) << "written through the link";
    std::filesystem::remove(dir / "home/sub");
    std::filesystem::rename(dir / "home/away", dir / "home/sub");
    EXPECT_NE(restoreSingleFileInitLabel(own), "");
    EXPECT_EQ(label.getFromXattr(own, true), 0);
}

// A reply larger than the bus carries is refused with an error, whoever asks, and the service stays on the bus.
TEST_F(Hostile, ARequestWhoseReplyWouldNotFitIsRefusedAndTheServiceGoesOn) {
    ZORV_SKIP_UNDER_EMULATION("a call of 800000 names and a reply of 24 MB take minutes, past the bus's time limit");
    std::vector<std::string> names(800000);
    for (std::size_t i = 0; i < names.size(); ++i) names[i] = "/" + std::to_string(1000000000 + i);
    const std::string tooLarge = "error org.freedesktop.DBus.Error.LimitsExceeded";
    const std::map<std::string, std::vector<std::string>> policy{{"object_recurfile", names}};
    EXPECT_EQ(asUser(kNobody, {}, [&] { return ServiceConnection().call("policies_parse", {policy}).substr(0, 60); }),
              tooLarge);

    withDatabase(manyLongPaths(9000));
    EXPECT_EQ(ServiceConnection().call("showUserSetFileTid").substr(0, 60), tooLarge);
    EXPECT_EQ(ServiceConnection().call("getLabelSetStatus"), "0");  // still on the bus
}

// The bus dies under queued replies: the service leaves with status 1 (for systemd to restart it), not spinning.
TEST_F(Hostile, TheServiceLeavesWhenTheBusDiesUnderQueuedReplies) {
    withDatabase(manyLongPaths(6000));  // a reply of 24 MB
    const pid_t bus = daemon_->busPid(), service = daemon_->pid();
    const long before = zorvtest::memoryKiB(service);
    ServiceConnection caller;
    // A caller the service knows already: it asks the bus nothing more before it serves the calls.
    ASSERT_EQ(caller.call("getLabelSetStatus"), "0");
    ::kill(service, SIGSTOP);  // the calls wait in its socket
    for (int i = 0; i < 4; ++i) {
        ServiceConnection::Reply call = ServiceConnection::newCall(zorv::protocol::kInterface, "showUserSetFileTid", {});
        dbus_connection_send(caller.get(), call.get(), nullptr);
    }
    // The bus answers this only once it has passed on the calls before it.
    dbus_bus_name_has_owner(caller.get(), zorv::protocol::kServiceName, nullptr);
    ::kill(bus, SIGSTOP);  // the replies cannot leave
    ::kill(service, SIGCONT);
    // Three replies' worth of memory: serving two calls at a time, the first reply is whole and queued.
    EXPECT_TRUE(zorvtest::waitUntil([&] { return zorvtest::memoryKiB(service) - before > 3 * 24000; }, 60))
        << "the service never queued its replies";
    ::kill(bus, SIGKILL);
    int status = -1;
    const bool exited = zorvtest::waitUntil([&] { return waitpid(service, &status, WNOHANG) == service; }, 10);
    if (exited)
        daemon_->forget();
    else
        daemon_->stop(SIGKILL);
    EXPECT_TRUE(exited) << "still running 10 s after the bus died";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    daemon_->restartBus();
}

// Calls hung in the file system (two workers of a user at most) hold up no other user or root, and time out in time.
TEST_F(Hostile, CallsHeldUpInTheFileSystemHoldUpNoOneElse) {
    zorvtest::StalledFs fs;
    if (!fs.mounted()) GTEST_SKIP() << "needs FUSE";
    ASSERT_EQ(setFileTid("/held/up", 5, 0), 0);
    std::atomic<int> stalledAnswers{0};
    std::string stalled;
    std::thread hog([&] {
        stalled = asUser(kNobody, {}, [&] {
            // Six calls at once, each on a connection of its own (no threads in a child of a threaded process).
            std::vector<std::unique_ptr<ServiceConnection>> connections;
            std::vector<DBusPendingCall*> pending;
            for (int i = 0; i < 6; ++i) {
                connections.push_back(std::make_unique<ServiceConnection>());
                ServiceConnection::Reply call =
                    ServiceConnection::newCall(zorv::protocol::kInterface, "getFileTid", {fs.stalled(i + 1)});
                DBusPendingCall* p = nullptr;
                dbus_connection_send_with_reply(connections.back()->get(), call.get(), &p, 30000);
                pending.push_back(p);
            }
            std::string all;
            for (DBusPendingCall* p : pending) {
                dbus_pending_call_block(p);
                ServiceConnection::Reply reply(dbus_pending_call_steal_reply(p), dbus_message_unref);
                dbus_pending_call_unref(p);
                const char* error = dbus_message_get_error_name(reply.get());
                all += (error ? std::string("error ") + error : "answered") + "\n";
            }
            return all;
        });
        ++stalledAnswers;
    });
    // The user's two calls that may run at once are held in the file system.
    EXPECT_TRUE(zorvtest::waitUntil([&] { return fs.waiting() >= 2; })) << "the calls never reached the file system";
    EXPECT_EQ(fs.waiting(), 2);
    EXPECT_EQ(getTid("/held/up"), "5");
    EXPECT_EQ(asUser(1, {}, [] { return getTid("/held/up"); }), "5");  // "daemon", on every Debian system
    EXPECT_EQ(stalledAnswers, 0) << "answered before the others";
    hog.join();
    std::string timeouts;
    for (int i = 0; i < 6; ++i) timeouts += "error org.freedesktop.DBus.Error.Timeout\n";
    EXPECT_EQ(stalled, timeouts);
}

// Each changing call is audited with caller, subject, old and new value and outcome, refusals too; root alone reads
// the trail. Texts cut inside a character, which libdbus would end the service for, are sent escaped.
TEST_F(Hostile, EveryChangingCallIsAuditedAndNoTextTheServiceSendsCanStopIt) {
    std::string accents;  // characters of two bytes
    for (int i = 0; i < 3000; ++i) accents += "\xc3\xa9";
    const std::string tooLong = "/\\x" + accents.substr(0, 4200), owner = "x" + accents;
    // The cut character's lone byte is sent escaped, and then a backslash of the path too.
    const std::string said = asUser(kNobody, {}, [&] {
        std::string error, text;
        ServiceConnection().send(zorv::protocol::kInterface, "queryUserSetFileTid", {tooLong, int32_t(0)}, error, &text);
        return error + ": " + text;
    });
    EXPECT_EQ(said.substr(0, said.find(':')), DBUS_ERROR_INVALID_ARGS);
    EXPECT_NE(said.find("\"/\\\\x\xc3\xa9"), std::string::npos) << said;
    EXPECT_EQ(said.substr(said.size() - 7), "\xc3\xa9\\xc3\"") << said;
    const std::vector<std::string> files{"/a"};
    EXPECT_EQ(asUser(kNobody, {}, [&] { return ServiceConnection().call("setLabelForPkg", {files, owner, 1u}); }), "3");

    ASSERT_EQ(setFileTid("/audit/a", 5, 0), 0);
    ASSERT_EQ(setFileTid("/audit/a", 6, 0), 0);
    EXPECT_EQ(asUser(kNobody, {}, [] { return ServiceConnection().call("setFileTid", {"/audit/a", 7u, 0}); }), "-1");
    ASSERT_EQ(delFileTid("/audit/a", 0), 0);
    ASSERT_EQ(setFileTid("/elsewhere", 5, 0), 0);
    auto history = [](const char* subject) {
        return ServiceConnection().call("History", {subject, uint64_t(0), uint64_t(0), 0u}, zorv::protocol::kAdminInterface);
    };
    const std::string audited = history("/audit"), me = " 0 " + std::to_string(getpid()) + " ";
    const std::string expected[] = {
        me + "\"setFileTid\" \"/audit/a\" \"\" \"5\" \"committed\")",
        me + "\"setFileTid\" \"/audit/a\" \"5\" \"6\" \"committed\")",
        " 65534 ",
        "\"setFileTid\" \"/audit/a\" \"\" \"\" \"refused: setFileTid changes labels: root only\")",
        me + "\"delUserSetFileTid\" \"/audit/a\" \"6\" \"\" \"committed\")",
    };
    std::size_t at = 0;
    for (const std::string& part : expected) {
        std::size_t found = audited.find(part, at);
        EXPECT_NE(found, std::string::npos) << part << "\nin " << audited;
        if (found != std::string::npos) at = found + part.size();
    }
    EXPECT_EQ(audited.find("/elsewhere"), std::string::npos);
    EXPECT_NE(history("").find("\"x" + accents.substr(0, 254) + " [cut from 6001 bytes]\""), std::string::npos);
    // Every administration member, sent arguments of its own signature, is refused to another user.
    EXPECT_EQ(asUser(kNobody, {}, [] {
                  using zorvtest::WireValue;
                  zorv::detail::FileDescriptor null(::open("/dev/null", O_RDWR | O_CLOEXEC));
                  std::string served;  // the members that did not refuse
                  for (const zorv::protocol::Member* m : zorv::protocol::admin::kMembers) {
                      std::vector<WireValue> args;  // each empty; "as" is the only array
                      for (const char* t = m->in; *t; ++t)
                          args.push_back(*t == 't'           ? WireValue(uint64_t(0))
                                         : *t == 'u'         ? WireValue(0u)
                                         : *t == 'h'         ? WireValue::fd(null.get())
                                         : *t == 'a' && *++t ? WireValue(std::vector<std::string>{})
                                                             : WireValue(""));
                      const std::string answer =
                          ServiceConnection().call(m->name, args, zorv::protocol::kAdminInterface);
                      if (answer != "error " DBUS_ERROR_ACCESS_DENIED) served += m->name + (": " + answer) + "\n";
                  }
                  return served;
              }),
              "");
}

// Other users' refusals cost their own budget: counted past a rate, subjects short, bounded apart from root's entries.
TEST_F(Hostile, AFloodOfRefusedCallsCostsItsSendersNotRoot) {
    ASSERT_EQ(daemon_->stop(), 0);
    daemon_->options({"--audit-max-entries", "1000", "--audit-max-refusals", "100"}).newDatabase().start();
    for (unsigned i = 1; i <= 50; ++i) ASSERT_EQ(setFileTid(("/root/" + std::to_string(i)).c_str(), i, 0), 0);
    const uid_t floods[] = {kNobody, 1, 2, 3, 4, 5};  // six users, each past the rate
    for (uid_t uid : floods) EXPECT_EQ(asUser(uid, {}, [] { return floodOfRefusals(2000); }), "-1") << uid;
    ASSERT_EQ(setFileTid("/root/after", 5, 0), 0);
    ASSERT_EQ(daemon_->stop(), 0);  // writes the counts of the intervals still open
    daemon_->options({});

    EXPECT_EQ(runSql("SELECT count(*) FROM audit WHERE uid = 0 AND result = 'committed'"), "51");
    EXPECT_EQ(runSql("SELECT count(*) FROM audit WHERE uid != 0"), "100");
    EXPECT_EQ(runSql("SELECT max(length(subject)) < 300 FROM audit WHERE uid != 0"), "1");
    EXPECT_NE(runSql("SELECT subject FROM audit WHERE uid = 5 LIMIT 1").find(" [cut from 4095 bytes]"),
              std::string::npos);
    // The last user's entries are the newest: all there, each call told once.
    EXPECT_EQ(runSql("SELECT count(*) + (SELECT sum(CAST(substr(result, 10) AS INTEGER)) FROM audit"
                     " WHERE uid = 5 AND member = '-') FROM audit WHERE uid = 5 AND member != '-'"),
              "2002");
}

// The journal receives each change as structured fields; without one, the log an entry a line whatever a path holds.
TEST_F(Hostile, TheAuditTrailGoesToTheJournalOrElseToTheLog) {
    ASSERT_EQ(daemon_->stop(), 0);
    const char* const logs = "/var/log/zorv";
    std::error_code ignored;
    std::filesystem::create_directories(logs, ignored);  // the service makes it in any case
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0 || ::mount("tmpfs", logs, "tmpfs", 0, "mode=0755") != 0)
        GTEST_SKIP() << "needs a mount namespace of its own";
    daemon_->start();
    const std::string forged = "/forged\nuid 0 (pid 1) setFileTid /x: committed";
    ASSERT_EQ(setFileTid(forged.c_str(), 5, 0), 0);
    EXPECT_EQ(asUser(kNobody, {}, [] { return ServiceConnection().call("setFileTid", {"/refused", 6u, 0}); }), "-1");
    ASSERT_EQ(daemon_->stop(), 0);
    const std::string log = zorvtest::slurp(std::string(logs) + "/zorv_label_manager.log");
    const std::string pid = std::to_string(getpid());
    for (const std::string& line : {"audit: uid 0 (pid " + pid + ") setFileTid /forged\\nuid 0 (pid 1) setFileTid /x: "
                                    "committed: committed, - -> 5",
                                    std::string(") setFileTid /refused: refused: setFileTid changes labels: root only")})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nin " << log;
    EXPECT_EQ(log.find("\nuid 0 (pid 1)"), std::string::npos) << "a forged line";

    std::filesystem::create_directories("/run/systemd/journal");
    const zorv::detail::FileDescriptor journal(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{AF_UNIX, "/run/systemd/journal/socket"};
    ASSERT_EQ(::bind(journal.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    daemon_->start();
    ASSERT_EQ(setFileTid("/journal/a", 5, 0), 0);
    timeval wait{10, 0};
    ::setsockopt(journal.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string entry(65536, '\0');
    for (;;) {  // the first entry that records a change; the library may log too
        ssize_t n = ::recv(journal.get(), entry.data(), entry.size(), 0);
        ASSERT_GT(n, 0) << "nothing reached the journal";
        if (std::string(entry.data(), n).find("ZORV_MEMBER=") != std::string::npos) {
            entry.resize(n);
            break;
        }
    }
    for (const char* field : {"ZORV_MEMBER=setFileTid\n", "ZORV_UID=0\n", "ZORV_SUBJECT=/journal/a\n", "ZORV_OLD=\n",
                              "ZORV_NEW=5\n", "ZORV_RESULT=committed\n", "SYSLOG_IDENTIFIER=zorv-labelmgrd\n"})
        EXPECT_NE(entry.find(field), std::string::npos) << field << " in\n" << entry;
    EXPECT_NE(entry.find("ZORV_PID=" + std::to_string(getpid()) + "\n"), std::string::npos) << entry;
}

}  // namespace
