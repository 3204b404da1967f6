// `zorv-label restore -R` of a tree of 100,000 files, as a whole process
// against the real service, next to a bare C program that walks the same tree
// on one thread and writes the same attribute with lsetxattr: with a thread
// per processor, the tool's default (goal: at most 0.7 times on two cores),
// and on one thread (at most 2 times). The tree and its package record are
// made before the clock starts; before each restore the C program overwrites
// every label, so that the restore finds every one to write again.
#include <dbus/dbus.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ratio.h"
#include "run_quietly.h"
#include "scratch_dir.h"
#include "service_daemon.h"

namespace {

constexpr int kDirectories = 100, kFilesPerDirectory = 1000;

std::unique_ptr<zorvtest::ScratchDir> tree;
std::unique_ptr<zorvtest::ServiceDaemon> service;

// The tree, and every path in it recorded as one package's files.
bool makeTree(std::string& why) {
    std::vector<std::string> paths{tree->path()};
    for (int d = 0; d < kDirectories; ++d) {
        std::string dir = tree->dir("d" + std::to_string(d));
        paths.push_back(dir);
        for (int f = 0; f < kFilesPerDirectory; ++f) {
            std::string file = dir + "/f" + std::to_string(f);
            int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0) return why = "cannot create " + file, false;
            ::close(fd);
            paths.push_back(file);
        }
    }
    if (::lsetxattr(tree->path().c_str(), "security.zorv", "", 0, 0) != 0 && errno == ENOTSUP)
        return why = "no security.* attributes on " + tree->path(), false;
    std::string list;
    for (const std::string& p : paths) list += p + "\n";
    const std::string listFile = tree->path() + ".list";
    std::ofstream(listFile) << list;
    int rc = zorvbench::runQuietly({ZORV_TOOL, "package", "restore-bench", listFile.c_str()});
    std::filesystem::remove(listFile);
    if (rc != 0) return why = "labelling the package failed", false;
    return true;
}

void BM_RawCRelabel(benchmark::State& state) {
    for (auto _ : state)
        if (zorvbench::runQuietly({ZORV_RAW_RELABEL, tree->path().c_str()}) != 0)
            state.SkipWithError("the C program failed");
    state.SetItemsProcessed(state.iterations() * kDirectories * kFilesPerDirectory);
}

// Threads: 0 for the tool's default.
void restoreRecursive(benchmark::State& state, const char* threads) {
    for (auto _ : state) {
        state.PauseTiming();
        if (zorvbench::runQuietly({ZORV_RAW_RELABEL, tree->path().c_str()}) != 0)
            state.SkipWithError("the C program failed");
        state.ResumeTiming();
        std::vector<const char*> args{ZORV_TOOL, "restore", "-R", tree->path().c_str()};
        if (threads) args.insert(args.begin() + 3, {"--threads", threads});
        if (zorvbench::runQuietly(args) != 0) state.SkipWithError("restore -R failed");
    }
    state.SetItemsProcessed(state.iterations() * kDirectories * kFilesPerDirectory);
}

void BM_ToolRestoreRecursive(benchmark::State& state) { restoreRecursive(state, nullptr); }
void BM_ToolRestoreRecursiveOneThread(benchmark::State& state) { restoreRecursive(state, "1"); }

}  // namespace

BENCHMARK(BM_RawCRelabel)->UseRealTime()->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToolRestoreRecursive)->UseRealTime()->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToolRestoreRecursiveOneThread)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (geteuid() != 0) {
        std::fprintf(stderr, "restore -R writes security.* attributes: run as root\n");
        return 0;
    }
    tree = std::make_unique<zorvtest::ScratchDir>();
    service = std::make_unique<zorvtest::ServiceDaemon>(ZORV_DAEMON);
    service->newDatabase().start();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", service->address().c_str(), 1);
    std::string why;
    if (!makeTree(why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int rc = zorvbench::runWithRatios(
        static_cast<int>(args.size()), args.data(),
        {{"zorv-label restore -R of 100,000 files, a thread per processor / bare C nftw + lsetxattr",
          "BM_ToolRestoreRecursive", "BM_RawCRelabel", 0.7, zorvbench::Measure::RealTime},
         {"zorv-label restore -R --threads 1 of 100,000 files / bare C nftw + lsetxattr",
          "BM_ToolRestoreRecursiveOneThread", "BM_RawCRelabel", 2.0, zorvbench::Measure::RealTime}});
    service.reset();
    tree.reset();
    return rc;
}
