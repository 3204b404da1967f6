// The administration interface: transfers through passed files, and the relabelling walk.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zorv/labelmgr.hpp>

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/xattr.h>

#include <cstring>
#include <iostream>

#include "protocol/service_names.h"
#include "scratch_dir.h"
#include "util/file_descriptor.h"
#include "util/sanitizer_build.h"
#include "id_equality.h"
#include "daemon_suite.h"
#include "process_memory.h"

using zorvtest::ServiceConnection;

namespace {

const char* const kAdmin = zorv::protocol::kAdminInterface;

class Admin : public zorvtest::DaemonSuite {
protected:
    // Calls `member` with `fd` passed; the error's name (its text in `message`), or "" and the reply.
    static std::string withFile(const char* member, int fd, ServiceConnection::Reply* reply = nullptr,
                                std::string* message = nullptr, std::vector<zorvtest::WireValue> before = {}) {
        std::string error;
        before.push_back(zorvtest::WireValue::fd(fd));
        ServiceConnection::Reply answer = ServiceConnection().send(kAdmin, member, before, error, message);
        if (reply) *reply = std::move(answer);
        return error;
    }
    std::string exported() {
        const std::string file = dir_ / "export.json";
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_EQ(withFile("Export", fd), "");
        ::close(fd);
        return zorvtest::slurp(file);
    }
    std::string imported(const std::string& document, std::string* message = nullptr) {
        int fd = ::open(dir_.file("import.json", document).c_str(), O_RDONLY | O_CLOEXEC);
        std::string error = withFile("Import", fd, nullptr, message);
        ::close(fd);
        return error;
    }

    zorvtest::ScratchDir dir_;
};

// Documents made to cost the service (deep nesting, a byte that is not UTF-8, 48 MB of lists) are refused quoting none
// of it, import nothing and cost little; an export imports elsewhere alike, and with a bad value anywhere, not at all.
TEST_F(Admin, ExportImportsElsewhereAndHostileDocumentsAreRefusedCheaplyUnquoted) {
    const std::string empty = exported();
    const std::string start = "{\"format\":\"zorv-label-export\",\"version\":1,"
                              "\"modules\":[{\"module\":\"kept-zz\",\"oid\":\"0000000000000001\"}],";
    std::string big = start + "\"zz-big\":[";
    big.reserve(48u << 20);
    while (big.size() < (48u << 20)) big += "[],";
    big += "[]]}";
    const long peak = zorvtest::memoryKiB(daemon_->pid(), "VmHWM");
    std::string text;
    EXPECT_EQ(imported(big, &text), "org.freedesktop.DBus.Error.InvalidArgs");
    const long grownKiB = zorvtest::memoryKiB(daemon_->pid(), "VmHWM") - peak;
#if defined(ZORV_ADDRESS_SANITIZER) || defined(ZORV_THREAD_SANITIZER)
    std::cout << "Not checked under a sanitizer, whose allocator holds freed memory back: the peak grew by "
              << grownKiB << " KiB\n";
#else
    EXPECT_LT(grownKiB, 100 * 1024) << "KiB at the peak before: " << peak;
#endif
    EXPECT_EQ(text.find("zz"), std::string::npos) << text;
    EXPECT_EQ(exported(), empty);
    big.clear();
    big.shrink_to_fit();

    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    const std::vector<std::pair<const char*, std::string>> documents{
        {"deep under an unknown key", start + "\"zz-unknown\":" + deep + "}"},
        {"deep under a known key", start + "\"devices\":[{\"device\":" + deep + ",\"oid\":\"0000000000000002\"}]}"},
        {"a byte that is not UTF-8", start + "\"records\":{\"tid\":[{\"path\":\"/zz\xff\",\"tid\":5}]}}"},
    };
    for (const auto& [what, document] : documents) {
        SCOPED_TRACE(what);
        EXPECT_EQ(imported(document, &text), "org.freedesktop.DBus.Error.InvalidArgs");
        for (const char* quoted : {"zz", "[[", "\xff"}) EXPECT_EQ(text.find(quoted), std::string::npos) << text;
        EXPECT_EQ(exported(), empty);
    }
    EXPECT_EQ(text, "the import is not JSON at byte " + std::to_string(documents[2].second.find('\xff') + 1));

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
    // 64-bit numbers and identifiers as strings, which no reader keeping doubles rounds.
    EXPECT_NE(before.find("\"pkg_id\":\"fedcba9876543210\""), std::string::npos) << before;
    EXPECT_NE(before.find("\"oid\":\"0000000000000001-0000000000000002-ffffffffffffffff\""), std::string::npos);
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

    // Keys in another order (sorted: header last, a package's files before its identifier) give the same store.
    ASSERT_EQ(imported(nlohmann::json::parse(before).dump()), "");
    EXPECT_EQ(exported(), before);
    daemon_->stop();
    daemon_->newDatabase().start();
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

// Records writes one attribute's records, or a subtree's, into the passed file, a line each; an unknown kind, a
// relative path and a reader that has gone are refused. A backup taken during writes opens; a pipe takes none.
TEST_F(Admin, RecordsAndBackupGoThroughPassedFiles) {
    ASSERT_EQ(setFileTid("/rl/a", 5, 0), 0);
    ASSERT_EQ(setFileTid("/rl/a/b\nc", 6, 0), 0);
    ASSERT_EQ(setFileTid("/rm", 7, 0), 0);
    ASSERT_EQ(setFileOid("/rl/a", ZORV_ID{1, 2, ~0ul}, 0), 0);
    auto records = [&](const std::string& kind, const std::string& path) {
        const std::string file = dir_ / "records";
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ServiceConnection::Reply reply(nullptr, dbus_message_unref);
        const std::string error = withFile("Records", fd, &reply, nullptr, {kind, path});
        ::close(fd);
        dbus_uint64_t count = 0;
        if (reply) dbus_message_get_args(reply.get(), nullptr, DBUS_TYPE_UINT64, &count, DBUS_TYPE_INVALID);
        return error + std::to_string(count) + ":" + zorvtest::slurp(file);
    };
    using namespace std::string_literals;
    EXPECT_EQ(records("tid", ""), "3:/rl/a\0" "5\n/rl/a/b\nc\0" "6\n/rm\0" "7\n"s);
    EXPECT_EQ(records("tid", "/rl/"), "2:/rl/a\0" "5\n/rl/a/b\nc\0" "6\n"s);
    EXPECT_EQ(records("oid", "/rl"), "1:/rl/a\0" "1 2 18446744073709551615\n"s);
    EXPECT_EQ(records("inherit", ""), "0:");
    EXPECT_EQ(records("label", ""), "org.freedesktop.DBus.Error.InvalidArgs0:");
    EXPECT_EQ(records("tid", "rl"), "org.freedesktop.DBus.Error.InvalidArgs0:");

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
    EXPECT_EQ(getFileTid("/rm", &tid), 0);
    EXPECT_EQ(tid, 7u);
    int pipes[2];
    ASSERT_EQ(::pipe2(pipes, O_CLOEXEC), 0);
    EXPECT_EQ(withFile("Backup", pipes[1]), "org.freedesktop.DBus.Error.InvalidArgs");  // not a regular file
    ::close(pipes[0]);
    EXPECT_EQ(withFile("Records", pipes[1], nullptr, nullptr, {"tid", ""}), "org.freedesktop.DBus.Error.Failed");
    ::close(pipes[1]);  // the service, still serving, shuts down cleanly
}

int labelAsPackage(std::vector<std::string> paths, const std::string& name) {
    std::vector<char*> list;
    for (std::string& p : paths) list.push_back(p.data());
    return setLabelForPkg(list.data(), static_cast<int>(list.size()), name.c_str());
}

// Relabel's flags past the first four: keep to the path's file system; threads (bits 8 to 15).
const uint32_t kOneFileSystem = 16, kTwoThreads = 2u << 8;

struct Walked {
    std::vector<std::vector<std::string>> reports;  // path, label, found, problem
    std::map<std::string, uint64_t> counts;
    int calls = 0;
    std::string error;
};

// The value at `it`, of a basic type; `it` moves on.
template <typename T>
T next(DBusMessageIter& it) {
    T value{};
    dbus_message_iter_get_basic(&it, &value);
    dbus_message_iter_next(&it);
    return value;
}

// One call of Relabel, `index` and `after` moved on to where the next goes on; false, and w.error, when it failed.
bool relabelOnce(ServiceConnection& bus, const std::vector<std::string>& paths, uint32_t flags, uint32_t& index,
                 std::string& after, Walked& w) {
    ++w.calls;
    std::string message;
    ServiceConnection::Reply reply = bus.send(kAdmin, "Relabel", {paths, flags, index, after}, w.error, &message);
    if (!reply) return w.error += ": " + message, false;
    DBusMessageIter it, items, f;
    dbus_message_iter_init(reply.get(), &it);
    for (dbus_message_iter_recurse(&it, &items); dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_STRUCT;
         dbus_message_iter_next(&items)) {
        dbus_message_iter_recurse(&items, &f);
        w.reports.emplace_back();
        for (int i = 0; i < 4; ++i) w.reports.back().push_back(next<const char*>(f));
    }
    dbus_message_iter_next(&it);
    index = next<dbus_uint32_t>(it);
    after = next<const char*>(it);
    for (dbus_message_iter_recurse(&it, &items); dbus_message_iter_get_arg_type(&items) == DBUS_TYPE_DICT_ENTRY;
         dbus_message_iter_next(&items)) {
        dbus_message_iter_recurse(&items, &f);
        const std::string key = next<const char*>(f);
        w.counts[key] += next<dbus_uint64_t>(f);
    }
    return true;
}

// Relabel from the start until it is done, as the tool does.
Walked relabel(const std::vector<std::string>& paths, uint32_t flags) {
    Walked w;
    ServiceConnection bus;
    uint32_t index = 0;
    std::string after;
    while (index < paths.size() && w.calls < 100)
        if (!relabelOnce(bus, paths, flags, index, after, w)) break;
    return w;
}

// Every kind of file (names sorting apart by name and by path, links out and up, labels missing, other, junk or right,
// a name not UTF-8, an immutable file, more than a call reports): threads agree; a link or a dry run writes nothing.
void walkTree(zorvtest::ScratchDir& dir, const std::string& name) {
    const std::string outside = dir.file(name + "-outside/secret"), root = dir.dir(name);
    std::vector<std::string> recorded{root, dir.file(name + "/a/x"), dir.file(name + "/a-b"), dir.file(name + "/a.c/y"),
                                      dir.link(dir.path(), name + "/a/dirlink"), dir.link(outside, name + "/filelink")};
    for (int d = 0; d < 3; ++d)
        for (int f = 0; f < 1500; ++f)
            recorded.push_back(dir.file(name + "/d" + std::to_string(d) + "/" + std::to_string(f)));
    for (const char* unrecorded : {"/unrecorded", "/unrecorded-dir/x", "/d1/\xff"}) dir.file(name + unrecorded);
    const uint64_t unrecorded = 9;  // those three, and the directories a, a.c, d0, d1, d2 and unrecorded-dir
    const std::string stuck = recorded.back();
    ASSERT_EQ(labelAsPackage(recorded, name), 0);
    ASSERT_EQ(setFileTid((root + "/a/x").c_str(), 77, 0), 0);
    ASSERT_EQ(setFileTid(outside.c_str(), 5, 0), 0);
    ASSERT_NE(restoreSingleFileLabel(root + "/d2/5"), "");  // already right
    ASSERT_EQ(::lsetxattr((root + "/d2/6").c_str(), "security.zorv", "junk", 4, 0), 0);
    ASSERT_EQ(Label().setToXattr(root + "/d2/8", true), 0);  // another label
    zorv::detail::FileDescriptor fd(::open(stuck.c_str(), O_RDONLY | O_CLOEXEC));
    int attributes = FS_IMMUTABLE_FL;
    const bool immutable = ::ioctl(fd.get(), FS_IOC_SETFLAGS, &attributes) == 0;
    struct Mutable {  // else the scratch directory cannot go
        int fd;
        ~Mutable() {
            int none = 0;
            ::ioctl(fd, FS_IOC_SETFLAGS, &none);
        }
    } undo{fd.get()};

    Walked dry = relabel({root}, 1), two = relabel({root}, 1 | kTwoThreads);
    ASSERT_EQ(dry.error, "");
    ASSERT_EQ(two.error, "");
    EXPECT_GT(two.calls, 1);
    EXPECT_EQ(two.reports, dry.reports);
    EXPECT_EQ(two.counts, dry.counts);
    ASSERT_EQ(dry.reports.size(), recorded.size() - 1);  // all but the one already right
    for (std::size_t i = 1; i < dry.reports.size(); ++i)
        ASSERT_LT(dry.reports[i - 1][0], dry.reports[i][0]) << "not in path order, or twice";
    EXPECT_EQ(dry.counts["unrecorded"], unrecorded);
    EXPECT_EQ(dry.counts["changed"], dry.reports.size());
    Label label;
    EXPECT_NE(label.getFromXattr(root + "/a/x", true), 0) << "a dry run wrote";

    Walked written = relabel({root}, 1 | 2 | 8 | kTwoThreads);
    ASSERT_EQ(written.error, "");
    EXPECT_EQ(written.counts["failed"], immutable ? 1u : 0u);
    EXPECT_EQ(written.counts["changed"] + written.counts["failed"], dry.counts["changed"]);
    ASSERT_EQ(written.reports.size(), dry.reports.size());
    for (std::size_t i = 0; i < dry.reports.size(); ++i) {
        EXPECT_EQ(written.reports[i][0], dry.reports[i][0]);
        EXPECT_EQ(written.reports[i][1], dry.reports[i][1]) << dry.reports[i][0];
        EXPECT_EQ(written.reports[i][3] != "", immutable && dry.reports[i][0] == stuck) << written.reports[i][3];
    }
    EXPECT_EQ(relabel({root}, 1).reports.size(), immutable ? 1u : 0u);  // what is left: the immutable file
    ASSERT_EQ(label.getFromXattr(root + "/a/x", true), 0);
    EXPECT_EQ(label.tid_, 77u);
    EXPECT_EQ(label.oid_.path_id, getSM3HashLast64Bits(root + "/a/x"));
    EXPECT_EQ(label.getFromXattr(root + "/filelink", true), 0);  // the link itself
    EXPECT_NE(label.getFromXattr(outside, true), 0) << "written through a link";

    ASSERT_EQ(setFileTid((root + "/a-b").c_str(), 9, 0), 0);
    Walked one = relabel({root + "/a-b", root + "/unrecorded", root + "/none"}, 0);
    ASSERT_EQ(one.reports.size(), 3u);
    EXPECT_EQ(one.reports[0][0], root + "/a-b");  // records with Tid 9, the file with the package's type
    EXPECT_NE(one.reports[0][1].find(":9:"), std::string::npos) << one.reports[0][1];
    EXPECT_NE(one.reports[0][2].find(":1:"), std::string::npos) << one.reports[0][2];
    EXPECT_EQ(one.reports[1][3], "no record gives it a label");
    EXPECT_NE(one.reports[2][3].find("cannot open"), std::string::npos) << one.reports[2][3];
}

// Once with the label calls relative to a directory, once without.
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

// 5,000 nested directories beside names not UTF-8, a service that may open 1,024 files: each recorded one is labelled.
TEST_F(Admin, RelabelWalksTreesDeeperThanItMayOpenFiles) {
    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(dir_.path(), true) != 0, dir_.path());
    const std::string root = dir_.dir("deep");
    struct Removal {  // rm walks any depth; a path cannot name the bottom
        std::string root;
        ~Removal() { EXPECT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0); }
    } removal{root};
    std::vector<std::string> recorded;
    std::string path = root;
    zorv::detail::FileDescriptor dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int level = 0; level < 5000; ++level) {
        ASSERT_EQ(::mkdirat(dir.get(), "d", 0755), 0) << std::strerror(errno);
        ASSERT_EQ(::mkdirat(dir.get(), "\xff", 0755), 0) << std::strerror(errno);
        dir.reset(::openat(dir.get(), "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(dir.valid()) << std::strerror(errno);
        path += "/d";
        if (path.size() <= 4095) recorded.push_back(path);
    }
    ASSERT_EQ(labelAsPackage(recorded, "deep"), 0);

    rlimit files{};
    ASSERT_EQ(prlimit(daemon_->pid(), RLIMIT_NOFILE, nullptr, &files), 0) << std::strerror(errno);
    files.rlim_cur = 1024;
    ASSERT_EQ(prlimit(daemon_->pid(), RLIMIT_NOFILE, &files, nullptr), 0) << std::strerror(errno);
    Walked written = relabel({root}, 1 | 2 | kTwoThreads);
    ASSERT_EQ(written.error, "");
    EXPECT_EQ(written.counts["failed"], 0u);
    if (!written.reports.empty()) ADD_FAILURE() << written.reports[0][0].size() << " bytes: " << written.reports[0][3];
    EXPECT_EQ(written.counts["changed"], recorded.size());
    EXPECT_LT(written.calls, 30) << "calls that went back over what was done";  // about a second's work each
    Label label;
    ASSERT_EQ(label.getFromXattr(recorded.back(), true), 0);
    EXPECT_EQ(label.oid_.path_id, getSM3HashLast64Bits(recorded.back()));
    EXPECT_EQ(relabel({recorded.back()}, 0).reports.size(), 0u);  // still serving, and nothing differs
}

// A directory the walk stopped in, swapped for a link before the next call: reported, not written through, passed.
TEST_F(Admin, RelabelReportsADirectorySwappedForALinkBetweenCalls) {
    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(dir_.path(), true) != 0, dir_.path());
    const std::string root = dir_.dir("swapped"), target = dir_.dir("swapped-target");
    std::vector<std::string> recorded, names;
    for (int i = 0; i < 4500; ++i) {
        names.push_back(std::to_string(10000 + i));
        recorded.push_back(dir_.file("swapped/d/" + names.back()));
        dir_.file("swapped-target/" + names.back());
    }
    recorded.push_back(dir_.file("swapped/z"));
    ASSERT_EQ(labelAsPackage(recorded, "swapped"), 0);

    ServiceConnection bus;
    Walked first, rest;
    uint32_t index = 0;
    std::string after;
    ASSERT_TRUE(relabelOnce(bus, {root}, 1 | 2 | 8, index, after, first)) << first.error;  // 4,000 reports at most
    ASSERT_EQ(index, 0u);
    ASSERT_EQ(after.rfind(root + "/d/", 0), 0u) << after;
    std::filesystem::rename(root + "/d", dir_ / "swapped-d");
    dir_.link(target, "swapped/d");
    while (index == 0 && rest.calls < 100)
        ASSERT_TRUE(relabelOnce(bus, {root}, 1 | 2 | 8, index, after, rest)) << rest.error;
    ASSERT_EQ(rest.reports.size(), 2u);
    EXPECT_EQ(rest.reports[0][0], root + "/d");
    EXPECT_NE(rest.reports[0][3], "");
    EXPECT_EQ(std::make_tuple(rest.reports[1][0], rest.reports[1][3]), std::make_tuple(root + "/z", std::string()));
    EXPECT_EQ(rest.counts["failed"], 1u);
    Label label;
    for (const std::string& name : names) ASSERT_NE(label.getFromXattr(target + "/" + name, true), 0) << name;
}

// A tmpfs and a proc in the tree: kept to one file system, the walk enters neither (and says so); else the tmpfs only.
TEST_F(Admin, RelabelKeepsToOneFileSystemAndNeverEntersAVirtualOne) {
    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(dir_.path(), true) != 0, dir_.path());
    ASSERT_EQ(daemon_->stop(), 0);
    const std::string root = dir_.dir("mounts"), tmp = dir_.dir("mounts/tmp"), proc = dir_.dir("mounts/proc");
    struct Unmount {  // before the scratch directory is removed
        std::string tmp, proc;
        ~Unmount() {
            ::umount2(proc.c_str(), MNT_DETACH);
            ::umount2(tmp.c_str(), MNT_DETACH);
        }
    } unmount{tmp, proc};
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", tmp.c_str(), "tmpfs", 0, "mode=0755") != 0 ||
        ::mount("proc", proc.c_str(), "proc", 0, nullptr) != 0)
        GTEST_SKIP() << "needs a mount namespace of its own";
    daemon_->start();
    std::vector<std::string> recorded{root, tmp, dir_.file("mounts/tmp/a"), proc, proc + "/version",
                                      dir_.file("mounts/z")};
    ASSERT_EQ(labelAsPackage(recorded, "mounts"), 0);

    for (uint32_t threads : {0u, kTwoThreads}) {
        SCOPED_TRACE(threads ? "two threads" : "one thread");
        Walked kept = relabel({root}, 1 | 2 | kOneFileSystem | threads);
        ASSERT_EQ(kept.error, "");
        EXPECT_EQ(kept.counts["failed"], 0u);
        EXPECT_EQ(kept.counts["skipped"], 2u);
        ASSERT_EQ(kept.reports.size(), 2u);
        using Report = std::vector<std::string>;
        EXPECT_EQ(kept.reports[0], (Report{proc, "", "", "not entered: on a virtual file system (proc)"}));
        EXPECT_EQ(kept.reports[1], (Report{tmp, "", "", "not entered: on another file system"}));
        Label label;
        EXPECT_NE(label.getFromXattr(tmp + "/a", true), 0) << "written on another file system";
        EXPECT_EQ(label.getFromXattr(root + "/z", true), 0);
    }
    Walked crossed = relabel({root}, 1 | 2 | kTwoThreads);
    ASSERT_EQ(crossed.error, "");
    EXPECT_EQ(crossed.counts["failed"], 0u);
    EXPECT_EQ(crossed.counts["skipped"], 1u);
    EXPECT_EQ(crossed.counts["changed"], 2u);  // the tmpfs's root and its file
    ASSERT_EQ(crossed.reports.size(), 1u);
    EXPECT_EQ(crossed.reports[0][0], proc);
    Label label;
    ASSERT_EQ(label.getFromXattr(tmp + "/a", true), 0);
    EXPECT_EQ(label.oid_.path_id, getSM3HashLast64Bits(tmp + "/a"));
    Walked named = relabel({proc}, 1);  // a path on proc itself: its own label only
    EXPECT_EQ(named.counts["skipped"], 1u);
}

}  // namespace
