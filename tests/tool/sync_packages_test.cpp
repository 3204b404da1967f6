// zorv-label sync-packages against the service on a private bus, with a
// dpkg database of the test's own (--admindir) whose packages' files live in
// a scratch directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <zorv/labelmgr.hpp>

#include <fstream>
#include <map>

#include "daemon_suite.h"
#include "emulator.h"
#include "scratch_dir.h"

extern char** environ;

namespace {

using Json = nlohmann::json;

struct DpkgEntry {
    std::string name, version, state = "installed", arch = "all";
    std::vector<std::string> files;  // the file list as dpkg keeps it
};

class SyncPackagesTest : public zorvtest::DaemonSuite {
protected:
    // Writes the database: the status file and one file list per package.
    void writeDatabase(const std::vector<DpkgEntry>& packages, const std::string& diversions = "") {
        std::ofstream status(admin_ + "/status", std::ios::binary);
        for (const DpkgEntry& p : packages) {
            const bool same = p.arch != "all";
            status << "Package: " << p.name << "\nStatus: install ok " << p.state << "\nMaintainer: t <t@t>\n"
                   << "Architecture: " << p.arch << "\n"
                   << (same ? "Multi-Arch: same\n" : "") << "Version: " << p.version << "\nDescription: t\n\n";
            std::ofstream list(admin_ + "/info/" + p.name + (same ? ":" + p.arch : "") + ".list", std::ios::binary);
            for (const std::string& f : p.files) list << f << "\n";
        }
        std::ofstream(admin_ + "/diversions", std::ios::binary) << diversions;
    }

    // Runs sync-packages with more `args`; its exit status, output in out_
    // and err_.
    int sync(std::vector<std::string> args = {}) {
        std::vector<std::string> all = {ZORV_TOOL, "sync-packages", "--admindir", admin_, "--state", state_};
        all.insert(all.end(), args.begin(), args.end());
        return run(all);
    }
    // Runs the tool (under the emulator in a tree built for another processor).
    int run(std::vector<std::string> args, const std::string& input = "") {
        std::vector<std::string> words = zorvtest::emulatedCommand(args[0]);
        words.insert(words.end(), args.begin() + 1, args.end());
        args = std::move(words);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 0, dir_.file("in", input).c_str(), O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&files, 1, (dir_ / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&files, 2, (dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = -1;
        EXPECT_EQ(posix_spawn(&pid, argv[0], &files, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&files);
        int status = 0;
        const bool exited = pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status);
        out_ = slurp(dir_ / "out");
        err_ = slurp(dir_ / "err");
        return exited ? WEXITSTATUS(status) : -1;
    }
    static std::string slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The files the service records for `name`, one a line.
    std::string recorded(const std::string& name) {
        EXPECT_EQ(run({ZORV_TOOL, "packages", name}), 0) << err_;
        return out_;
    }
    size_t auditEntries() {
        EXPECT_EQ(run({ZORV_TOOL, "--json", "history"}), 0) << err_;
        return Json::parse(out_).size();
    }

    zorvtest::ScratchDir dir_;
    const std::string admin_ = std::filesystem::path(dir_.dir("admin/info")).parent_path(), state_ = dir_ / "state";
    std::string out_, err_;
};

// A package dpkg installed is labelled and its files' labels are written; a
// directory two packages list and the path a diversion moves are handled as
// dpkg has them; a run with nothing changed sends no change and writes no
// file; an upgrade that changes the list, a package removed by hand from the
// service, and a package dpkg removed are each caught.
TEST_F(SyncPackagesTest, FollowsInstallUpgradeAndRemoval) {
    const std::string shared = dir_.dir("usr/share"), tool = dir_.file("usr/bin/tool"),
                      doc = dir_.file("usr/share/doc/tool"), lib = dir_.file("usr/lib/libdemo.so"),
                      original = dir_.file("usr/bin/cmd"), moved = dir_.file("usr/bin/cmd.real"),
                      linked = dir_.file("usr/bin/linked");
    dir_.link("usr/bin", "bin");  // as /bin on a system with merged /usr
    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(tool, true) != 0, tool);
    const std::string usr = dir_ / "usr", bin = dir_ / "usr/bin", docs = dir_ / "usr/share/doc";
    const std::string diversion = original + "\n" + moved + "\nlibdemo\n";
    writeDatabase({{"tool",
                    "1.0",
                    "installed",
                    "all",
                    {"/.", dir_.path(), usr, bin, tool, original, dir_ / "bin/linked", shared, docs, doc}},
                   {"libdemo", "2", "installed", "amd64", {"/.", dir_.path(), usr, shared, dir_ / "usr/lib", lib}}},
                  diversion);

    ASSERT_EQ(sync({"--dry-run"}), 0) << err_;
    EXPECT_EQ(out_, "would label 2 files of libdemo:amd64 2 (new)\nwould label 6 files of tool 1.0 (new)\n");
    EXPECT_FALSE(std::filesystem::exists(state_));
    EXPECT_EQ(run({ZORV_TOOL, "pkg-id", "tool"}), 1) << "a dry run recorded the package";

    ASSERT_EQ(sync(), 0) << err_;
    EXPECT_NE(out_.find("labelled 2 files of libdemo:amd64 2 (new)"), std::string::npos) << out_;
    // What both list ("/", the scratch directory, usr/share) is neither's;
    // a path through a linked directory is recorded by its real path.
    EXPECT_EQ(recorded("tool"), bin + "\n" + moved + "\n" + linked + "\n" + tool + "\n" + docs + "\n" + doc + "\n");
    EXPECT_EQ(recorded("libdemo:amd64"), dir_.dir("usr/lib") + "\n" + lib + "\n");
    EXPECT_EQ(run({ZORV_TOOL, "verify", tool, doc, moved, linked, lib}), 0) << out_ << err_;

    struct stat before {};
    ASSERT_EQ(::stat(state_.c_str(), &before), 0);
    const size_t entries = auditEntries();
    ASSERT_EQ(sync(), 0) << err_;
    EXPECT_EQ(out_, "");
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
    ASSERT_EQ(sync(), 0) << err_;
    // usr/share is now libdemo's alone.
    EXPECT_EQ(out_, "labelled 3 files of libdemo:amd64 2 (changed)\nlabelled 4 files of tool 1.1 (upgraded)\n");
    EXPECT_EQ(recorded("tool"), bin + "\n" + moved + "\n" + tool + "\n" + added + "\n");
    EXPECT_EQ(run({ZORV_TOOL, "verify", added}), 0) << out_ << err_;

    // The state says both are done; the service, on a new database, knows neither.
    EXPECT_EQ(daemon_->stop(SIGTERM), 0);
    daemon_->newDatabase().start();
    ASSERT_EQ(sync(), 0) << err_;
    EXPECT_EQ(out_, "labelled 3 files of libdemo:amd64 2 (new)\nlabelled 4 files of tool 1.1 (new)\n");
    // Files dropped by hand are noticed by a run that ignores the state.
    ASSERT_EQ(run({ZORV_TOOL, "package", "--remove", "libdemo:amd64"}), 0) << err_;
    ASSERT_EQ(sync({"--all"}), 0) << err_;
    EXPECT_EQ(out_, "labelled 3 files of libdemo:amd64 2 (new)\nlabelled 4 files of tool 1.1 (changed)\n");

    // dpkg removed tool (its configuration files kept), purged libdemo.
    writeDatabase({{"tool", "1.1", "config-files", "all", {}}});
    ASSERT_EQ(sync({"--json"}), 0) << err_;
    const Json done = Json::parse(out_);
    EXPECT_EQ(done["dropped"], Json::parse(R"([{"name": "libdemo:amd64"}, {"name": "tool"}])"));
    EXPECT_EQ(done["labelled"], Json::array());
    EXPECT_EQ(recorded("tool"), "");
    EXPECT_EQ(recorded("libdemo:amd64"), "");
    EXPECT_EQ(slurp(state_).find("\ntool\t"), std::string::npos) << slurp(state_);
    EXPECT_EQ(slurp(state_).find("\nlibdemo"), std::string::npos) << slurp(state_);
}

// A package that cannot be labelled is reported, escaped, and exits 1; the
// others are labelled all the same, and the failed one is tried again by the
// next run. Packages of other types and type-1 packages dpkg never had are
// left as they are.
TEST_F(SyncPackagesTest, AFailedPackageIsReportedAndTheOthersGoOn) {
    const std::string good = dir_.file("good"), bad = dir_.file("bad-\xff"), app = dir_.file("app"),
                      mine = dir_.file("mine");
    ZORV_SKIP_WITHOUT_XATTR(Label().setToXattr(good, true) != 0, good);
    ASSERT_EQ(run({ZORV_TOOL, "package", "viewer", "-t", "lunvex"}, app + "\n"), 0) << err_;
    ASSERT_EQ(run({ZORV_TOOL, "package", "by-hand"}, mine + "\n"), 0) << err_;
    writeDatabase({{"broken", "1", "installed", "all", {bad}},
                   {"good", "1", "installed", "all", {good, "/proc"}},  // nothing keeps a label on /proc
                   {"viewer", "1", "installed", "all", {app}}});

    EXPECT_EQ(sync(), 1);
    EXPECT_EQ(out_, "labelled 1 files of good 1 (new)\n");
    EXPECT_NE(err_.find("sync-packages broken: the library refused the file list"), std::string::npos) << err_;
    EXPECT_NE(err_.find("sync-packages viewer: the service records this name as a Lunvex application"),
              std::string::npos)
        << err_;
    EXPECT_EQ(err_.find('\xff'), std::string::npos) << "a raw name byte reached the error output";
    EXPECT_EQ(recorded("good"), good + "\n");
    EXPECT_EQ(recorded("viewer"), app + "\n");
    EXPECT_EQ(recorded("by-hand"), mine + "\n");

    ASSERT_EQ(sync({"--json"}), 1);
    const Json again = Json::parse(out_);
    ASSERT_EQ(again["failed"].size(), 2u) << out_;
    EXPECT_EQ(again["failed"][0]["name"], "viewer");
    EXPECT_EQ(again["failed"][1]["name"], "broken");
    EXPECT_EQ(again["unchanged"], 1);
    EXPECT_EQ(again["labelled"], Json::array());
}

}  // namespace
