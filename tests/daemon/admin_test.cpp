// The administration interface's transfers against the real service on a
// private bus: export and import give back the same document, a backup taken
// while the service writes opens as a database of its own, and relabelling
// walks trees without following links, over as many calls as it takes.
#include <gtest/gtest.h>
#include <zorv/labelmgr.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "as_user.h"
#include "protocol/service_names.h"
#include "scratch_dir.h"
#include "id_equality.h"
#include "daemon_suite.h"

using zorvtest::ServiceConnection;

namespace {

const char* const kAdmin = zorv::protocol::kAdminInterface;

class Admin : public zorvtest::DaemonSuite {
protected:
    // Calls `member` with `fd` passed; the error's name, or "" and the reply.
    static std::string withFile(const char* member, int fd, ServiceConnection::Reply* reply = nullptr) {
        ServiceConnection bus;
        ServiceConnection::Reply call = ServiceConnection::newCall(kAdmin, member, {});
        dbus_message_append_args(call.get(), DBUS_TYPE_UNIX_FD, &fd, DBUS_TYPE_INVALID);
        DBusError e;
        dbus_error_init(&e);
        ServiceConnection::Reply answer(dbus_connection_send_with_reply_and_block(bus.get(), call.get(), 60000, &e),
                                        dbus_message_unref);
        std::string error = answer ? "" : e.name;
        dbus_error_free(&e);
        if (reply) *reply = std::move(answer);
        return error;
    }
    std::string exported() {
        const std::string file = dir_ / "export.json";
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_EQ(withFile("Export", fd), "");
        ::close(fd);
        std::ifstream in(file);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string imported(const std::string& document) {
        int fd = ::open(dir_.file("import.json", document).c_str(), O_RDONLY | O_CLOEXEC);
        std::string error = withFile("Import", fd);
        ::close(fd);
        return error;
    }

    zorvtest::ScratchDir dir_;
};

TEST_F(Admin, ExportImportedElsewhereExportsTheSameDocument) {
    char* files[] = {const_cast<char*>("/opt/a/bin"), const_cast<char*>("/opt/a/l\xC3\xA9"), nullptr};
    const std::vector<std::string> none;
    ASSERT_EQ(ServiceConnection().call("setLabelForPkg", {none, "first-and-empty", 1u}), "0");  // package 1, no files
    ASSERT_EQ(setLabelForPkg(files, 2, "second"), 0);
    char* drova[] = {const_cast<char*>("/drova/base"), nullptr};
    char* host[] = {files[0], nullptr};
    ASSERT_EQ(setLabelForDrovaBaseFiles(drova, host), 0);  // a file of type 3 in package 2
    ASSERT_EQ(setPkgId("/r/p", 0xfedcba9876543210), 0);
    ASSERT_EQ(setFileOid("/r/o", ZORV_ID{1, 2, ~0ul}, 0), 0);
    ASSERT_EQ(setFileSid("/r/s", ZORV_ID{3, 0, 0}, 0), 0);
    ASSERT_EQ(setFileTid("/r/t", 4000000000u, 0), 0);
    ASSERT_EQ(setFileInheritFlag("/r/i", 7, 0), 0);
    addTagFullSystem("device", {"sdb", "sda"});
    addTagFullSystem("kmod", {"ext4"});
    const std::string before = exported();
    EXPECT_NE(before.find("\"pkg_id\":\"fedcba9876543210\""), std::string::npos) << before;
    EXPECT_NE(before.find("{\"path\":\"/drova/base\",\"type\":3}"), std::string::npos) << before;

    daemon_->stop();
    daemon_->newDatabase().start();
    // A bad value at the end leaves nothing of what came before it.
    std::string bad = before;
    bad.replace(bad.find("\"inherit\":7"), 11, "\"inherit\":6");
    EXPECT_EQ(imported(bad), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(imported("{\"format\":\"zorv-label-export\",\"version\":2}"), "org.freedesktop.DBus.Error.InvalidArgs");
    std::string nul = before;  // no path that came over the bus could hold one
    nul.replace(nul.find("/r/t"), 4, "/r/\\u0000t");
    EXPECT_EQ(imported(nul), "org.freedesktop.DBus.Error.InvalidArgs");
    unsigned long pkg = 0;
    EXPECT_EQ(getPkgId("/r/p", &pkg), -1);

    ASSERT_EQ(imported(before), "");
    EXPECT_EQ(exported(), before);
    EXPECT_EQ(imported(before), "org.freedesktop.DBus.Error.Failed");  // not empty any more
    // Identifiers moved with their packages; a new package comes after them.
    const char* names[] = {"second", "third"};
    unsigned long ids[2] = {};
    ASSERT_EQ(ServiceConnection().call("setLabelForPkg", {none, "third", 1u}), "0");
    ASSERT_EQ(getPkgIds(names, 2, ids), 2);
    EXPECT_EQ(ids[0], 2u);
    EXPECT_EQ(ids[1], 3u);
}

TEST_F(Admin, BackupWhileWritingIsADatabaseTheServiceOpens) {
    ASSERT_EQ(setFileTid("/kept", 5, 0), 0);
    std::atomic<bool> done{false};
    std::thread writer([&done] {
        ServiceConnection c;
        for (uint32_t i = 1; !done; ++i) c.call("setFileTid", {"/busy/" + std::to_string(i), i, int32_t(0)});
    });
    const std::string copy = dir_ / "copy.db";
    int fd = ::open(copy.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::write(fd, "not a database, longer than nothing", 35), 35);  // replaced whole
    ServiceConnection::Reply reply(nullptr, dbus_message_unref);
    std::string error = withFile("Backup", fd, &reply);
    ::close(fd);
    done = true;
    writer.join();
    ASSERT_EQ(error, "");
    dbus_uint64_t size = 0;
    ASSERT_TRUE(dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UINT64, &size, DBUS_TYPE_INVALID));
    struct stat st;
    ASSERT_EQ(::stat(copy.c_str(), &st), 0);
    EXPECT_EQ(uint64_t(st.st_size), size);
    // Nothing is left beside the service's database.
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(daemon_->database()).parent_path()))
        EXPECT_EQ(entry.path().filename().string().find(".backup-"), std::string::npos) << entry.path();

    daemon_->stop();
    daemon_->useDatabase(copy).start();
    unsigned tid = 0;
    EXPECT_EQ(getFileTid("/kept", &tid), 0);
    EXPECT_EQ(tid, 5u);
    int pipes[2];
    ASSERT_EQ(::pipe2(pipes, O_CLOEXEC), 0);
    EXPECT_EQ(withFile("Backup", pipes[1]), "org.freedesktop.DBus.Error.InvalidArgs");  // not a regular file
    ::close(pipes[0]);
    ::close(pipes[1]);
}

struct Walked {
    std::vector<std::vector<std::string>> reports;  // path, label, found, problem
    std::map<std::string, uint64_t> counts;
    int calls = 0;
    std::string error;
};

// Relabel from the start until it is done, as the tool does.
Walked relabel(const std::vector<std::string>& paths, uint32_t flags) {
    Walked w;
    ServiceConnection bus;
    uint32_t index = 0;
    std::string after;
    while (index < paths.size() && w.calls < 100) {
        ++w.calls;
        ServiceConnection::Reply reply = bus.send(kAdmin, "Relabel", {paths, flags, index, after}, w.error);
        if (!reply) return w;
        DBusMessageIter it, items;
        dbus_message_iter_init(reply.get(), &it);
        for (dbus_message_iter_recurse(&it, &items); dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_STRUCT;
             dbus_message_iter_next(&items)) {
            DBusMessageIter f;
            dbus_message_iter_recurse(&items, &f);
            w.reports.emplace_back();
            for (int i = 0; i < 4; ++i, dbus_message_iter_next(&f)) {
                const char* s = "";
                dbus_message_iter_get_basic(&f, &s);
                w.reports.back().push_back(s);
            }
        }
        dbus_message_iter_next(&it);
        dbus_message_iter_get_basic(&it, &index);
        dbus_message_iter_next(&it);
        const char* next = "";
        dbus_message_iter_get_basic(&it, &next);
        after = next;
        dbus_message_iter_next(&it);
        for (dbus_message_iter_recurse(&it, &items); dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_DICT_ENTRY;
             dbus_message_iter_next(&items)) {
            DBusMessageIter e;
            dbus_message_iter_recurse(&items, &e);
            const char* key = "";
            dbus_uint64_t n = 0;
            dbus_message_iter_get_basic(&e, &key);
            dbus_message_iter_next(&e);
            dbus_message_iter_get_basic(&e, &n);
            w.counts[key] += n;
        }
    }
    return w;
}

// A tree whose names sort differently by name and by path ("a", "a-b", "a/"),
// a link to a directory outside it and a link to a file outside it; more
// differing files than one call reports, so that the walk goes on where it
// stopped. Once with the label calls relative to a directory, once without.
void walkTree(zorvtest::ScratchDir& dir, const std::string& name);

TEST_F(Admin, RelabelWalksTreesWithoutFollowingLinks) {
    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(dir_.path(), true) != 0, dir_.path());
    walkTree(dir_, "tree");
    if (HasFatalFailure()) return;
    setenv("ZORV_TEST_WITHOUT_XATTRAT", "1", 1);
    daemon_->stop();
    daemon_->start();
    unsetenv("ZORV_TEST_WITHOUT_XATTRAT");
    SCOPED_TRACE("without getxattrat and setxattrat");
    walkTree(dir_, "other-tree");
}

void walkTree(zorvtest::ScratchDir& dir, const std::string& name) {
    const std::string outside = dir.file(name + "-outside/secret"), root = dir.dir(name);
    std::vector<std::string> recorded{root, dir.file(name + "/a/x"), dir.file(name + "/a-b"),
                                      dir.file(name + "/a.c/y"), dir.link(dir / name + "-outside", name + "/a/dirlink"),
                                      dir.link(outside, name + "/filelink")};
    for (int i = 0; i < 4500; ++i) recorded.push_back(dir.file(name + "/many/" + std::to_string(i)));
    dir.file(name + "/unrecorded");
    std::vector<char*> list;
    for (std::string& p : recorded) list.push_back(p.data());
    ASSERT_EQ(setLabelForPkg(list.data(), static_cast<int>(list.size()), name.c_str()), 0);
    ASSERT_EQ(setFileTid((root + "/a/x").c_str(), 77, 0), 0);
    ASSERT_EQ(setFileTid(outside.c_str(), 5, 0), 0);  // a record of its own, never reached through the links
    const uint64_t dirs = 4;

    Walked dry = relabel({root}, 1);
    ASSERT_EQ(dry.error, "");
    EXPECT_GT(dry.calls, 1);
    ASSERT_EQ(dry.reports.size(), recorded.size());
    for (std::size_t i = 1; i < dry.reports.size(); ++i)
        ASSERT_LT(dry.reports[i - 1][0], dry.reports[i][0]) << "not in path order, or twice";
    EXPECT_EQ(dry.counts["unrecorded"], dirs);  // a, a.c, many and the unrecorded file
    EXPECT_EQ(dry.counts["changed"], dry.reports.size());
    Label label;
    EXPECT_NE(label.getFromXattr(root + "/a/x", true), 0) << "a dry run wrote";

    Walked written = relabel({root}, 1 | 2);
    EXPECT_EQ(written.reports.size(), 0u);  // only failures are reported
    EXPECT_EQ(written.counts["changed"], dry.reports.size());
    ASSERT_EQ(label.getFromXattr(root + "/a/x", true), 0);
    EXPECT_EQ(label.tid_, 77u);
    EXPECT_EQ(label.oid_.path_id, getSM3HashLast64Bits(root + "/a/x"));
    EXPECT_EQ(label.getFromXattr(root + "/filelink", true), 0);  // the link itself
    EXPECT_NE(label.getFromXattr(outside, true), 0) << "written through a link";

    EXPECT_EQ(relabel({root}, 1).reports.size(), 0u);  // nothing differs now
    ASSERT_EQ(setFileTid((root + "/a-b").c_str(), 9, 0), 0);
    Walked one = relabel({root + "/a-b", root + "/unrecorded", root + "/none"}, 0);
    ASSERT_EQ(one.reports.size(), 3u);
    EXPECT_EQ(one.reports[0][0], root + "/a-b");  // records with Tid 9, the file with the package's type
    EXPECT_NE(one.reports[0][1].find(":9:"), std::string::npos) << one.reports[0][1];
    EXPECT_NE(one.reports[0][2].find(":1:"), std::string::npos) << one.reports[0][2];
    EXPECT_EQ(one.reports[1][3], "no record gives it a label");
    EXPECT_NE(one.reports[2][3].find("cannot open"), std::string::npos) << one.reports[2][3];
}

TEST_F(Admin, OnlyRootMayUseTheInterface) {
    if (geteuid() != 0) GTEST_SKIP() << "the other user is played by root dropping to uid 65534";
    for (const char* member : {"Export", "Relabel"}) {
        std::string answer = zorvtest::asUser(zorvtest::kNobody, {}, [member] {
            if (std::string(member) == "Export") return withFile(member, STDOUT_FILENO);
            std::string error;
            ServiceConnection().send(kAdmin, member, {std::vector<std::string>{"/"}, 1u, 0u, ""}, error);
            return error;
        });
        EXPECT_EQ(answer, "org.freedesktop.DBus.Error.AccessDenied") << member;
    }
}

}  // namespace
