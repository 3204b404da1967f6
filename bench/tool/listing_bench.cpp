// `zorv-label show tid` of 1,000,000 records next to `zorv-label export` of
// the same store, both as whole processes against the real service on a
// private bus, their output discarded (goal: at most 1.5 times). Both read
// the store in one pass and write through a passed descriptor; show adds
// reading the records back, the table's widths and its temporary file. The
// store is filled by importing a generated document before the clock starts.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ratio.h"
#include "run_quietly.h"
#include "scratch_dir.h"
#include "service_daemon.h"

namespace {

constexpr int kRecords = 1000000;

void BM_Export(benchmark::State& state) {
    for (auto _ : state)
        if (zorvbench::runQuietly({ZORV_TOOL, "export"}) != 0) state.SkipWithError("zorv-label export failed");
    state.SetItemsProcessed(state.iterations() * kRecords);
}

void BM_ShowTid(benchmark::State& state) {
    for (auto _ : state)
        if (zorvbench::runQuietly({ZORV_TOOL, "show", "tid"}) != 0) state.SkipWithError("zorv-label show failed");
    state.SetItemsProcessed(state.iterations() * kRecords);
}

// An export document of `kRecords` Tids under a thousand directories.
std::string document() {
    std::string text = "{\"format\":\"zorv-label-export\",\"version\":1,\n\"devices\":[],\n\"modules\":[],\n"
                       "\"packages\":[],\n\"records\":{\n\"pkgid\":[],\n\"oid\":[],\n\"sid\":[],\n\"tid\":[";
    char line[96];
    for (int i = 1; i <= kRecords; ++i) {
        std::snprintf(line, sizeof line, "%s\n{\"path\":\"/srv/data/d%04d/file-%07d\",\"tid\":%d}", i > 1 ? "," : "",
                      i % 1000, i, 1 + i % 100000);
        text += line;
    }
    return text + "\n],\n\"inherit\":[]\n}}\n";
}

}  // namespace

BENCHMARK(BM_Export)->UseRealTime()->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShowTid)->UseRealTime()->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (geteuid() != 0) {
        std::fprintf(stderr, "show lists through the administration interface only for root: run as root\n");
        return 0;
    }
    zorvtest::ServiceDaemon service(ZORV_DAEMON);
    service.newDatabase().start();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", service.address().c_str(), 1);
    zorvtest::ScratchDir dir;
    const std::string file = dir.file("tids.json", document());
    if (zorvbench::runQuietly({ZORV_TOOL, "import", file.c_str()}) != 0) {
        std::fprintf(stderr, "importing the records failed\n");
        return 1;
    }
    // The two alternate, so that both meet the same load on a shared machine.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    return zorvbench::runWithRatios(static_cast<int>(args.size()), args.data(),
                                    {{"zorv-label show tid / export, 1,000,000 records", "BM_ShowTid", "BM_Export",
                                      1.5, zorvbench::Measure::RealTime}});
}
