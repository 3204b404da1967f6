// `zorv-label get tid PATH` as a whole process next to a minimal C program
// that makes the same call through the library: what the tool adds to a
// start-up (its command line, logging set-up, output) must stay small.
// Both run against the stand-in service on a private bus.
#include <string>
#include <vector>

#include "ratio.h"
#include "run_quietly.h"
#include "standin_bus.h"

namespace {

void BM_ToolGetTid(benchmark::State& state) {
    for (auto _ : state)
        if (zorvbench::runQuietly({ZORV_TOOL, "get", "tid", "/usr/bin/true"}) != 0)
            state.SkipWithError("zorv-label get failed");
}

void BM_RawCGetTid(benchmark::State& state) {
    for (auto _ : state)
        if (zorvbench::runQuietly({ZORV_RAW_GET, "/usr/bin/true"}) != 0) state.SkipWithError("raw C program failed");
}

}  // namespace

BENCHMARK(BM_RawCGetTid)->UseRealTime()->MinTime(1.0)->Repetitions(5);
BENCHMARK(BM_ToolGetTid)->UseRealTime()->MinTime(1.0)->Repetitions(5);

int main(int argc, char** argv) {
    zorvbench::StandinBus bus;
    // The two alternate, so that both meet the same load on a shared machine.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    return zorvbench::runWithRatios(static_cast<int>(args.size()), args.data(),
                                    {{"zorv-label get tid / minimal C program, whole process", "BM_ToolGetTid",
                                      "BM_RawCGetTid", 1.5, zorvbench::Measure::RealTime}});
}
