// `zorv-label apply` making 10,000 sets in one process next to a C program
// making the same 10,000 setFileTid calls through the library, both as whole
// processes against the real service on a private bus. The service commits
// each change to disk before it answers, which both sides wait for alike;
// what apply adds (reading and checking the lines, its report) must stay
// small beside it.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ratio.h"
#include "run_quietly.h"
#include "scratch_dir.h"
#include "service_daemon.h"

namespace {

constexpr int kSets = 10000;

std::string changes;  // the file of apply's lines

void BM_ApplySets(benchmark::State& state) {
    for (auto _ : state)
        if (zorvbench::runQuietly({ZORV_TOOL, "apply", changes.c_str()}) != 0)
            state.SkipWithError("zorv-label apply failed");
    state.SetItemsProcessed(state.iterations() * kSets);
}

void BM_LibrarySets(benchmark::State& state) {
    const std::string count = std::to_string(kSets);
    for (auto _ : state)
        if (zorvbench::runQuietly({ZORV_RAW_SETS, count.c_str()}) != 0) state.SkipWithError("the C program failed");
    state.SetItemsProcessed(state.iterations() * kSets);
}

}  // namespace

BENCHMARK(BM_LibrarySets)->UseRealTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplySets)->UseRealTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    zorvtest::ServiceDaemon service(ZORV_DAEMON);
    service.start();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", service.address().c_str(), 1);
    zorvtest::ScratchDir dir;
    std::string lines;
    for (int i = 1; i <= kSets; ++i) lines += "set tid /bench/" + std::to_string(i) + " 5\n";
    changes = dir.file("changes", lines);
    // The two alternate, so that both meet the same load on a shared machine.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    return zorvbench::runWithRatios(static_cast<int>(args.size()), args.data(),
                                    {{"zorv-label apply, 10,000 sets / the same sets from a C program",
                                      "BM_ApplySets", "BM_LibrarySets", 1.5, zorvbench::Measure::RealTime}});
}
