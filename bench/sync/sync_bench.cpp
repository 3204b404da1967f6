// zorv-label sync-packages on this machine's own dpkg database (read only),
// against a private service and a state file in a scratch directory:
//  - a run with nothing changed (goal: under 200 ms);
//  - a first full sync into a service with an empty database, recording the
//    files without writing labels onto the host's files (--no-restore), next
//    to the same setLabelForPkg calls made by a C program through the
//    library (goal: at most 1.5 times).
// Each full sync and each C run starts on a new database; restarting the
// service, and bringing the state in step before a run with nothing
// changed, are outside the clock.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "ratio.h"
#include "run_quietly.h"
#include "scratch_dir.h"
#include "service_daemon.h"

namespace {

std::unique_ptr<zorvtest::ScratchDir> scratch;
std::unique_ptr<zorvtest::ServiceDaemon> service;
std::string state, manifest;

int sync(bool noRestore) {
    std::vector<const char*> args{ZORV_TOOL, "sync-packages", "--state", state.c_str()};
    if (noRestore) args.push_back("--no-restore");
    return zorvbench::runQuietly(args);
}

void freshService() {
    service->stop();
    service->newDatabase().start();
    std::filesystem::remove(state);
}

// The packages a full sync records, as the C program reads them.
bool writeManifest(std::string& why) {
    freshService();
    if (sync(true) != 0) return why = "the first sync failed", false;
    const std::string exported = *scratch / "export.json";
    if (zorvbench::runQuietly({ZORV_TOOL, "export", exported.c_str()}) != 0) return why = "export failed", false;
    std::ifstream in(exported);
    const nlohmann::json document = nlohmann::json::parse(in, nullptr, false);
    if (document.is_discarded()) return why = "the export is not JSON", false;
    std::ofstream out(manifest);
    for (const auto& package : document["packages"]) {
        if (package["files"].empty()) continue;
        out << package["name"].get<std::string>() << "\n";
        for (const auto& file : package["files"]) out << file["path"].get<std::string>() << "\n";
        out << "\n";
    }
    return bool(out);
}

void BM_SyncNothingChanged(benchmark::State& s) {
    for (auto _ : s) {
        s.PauseTiming();
        if (sync(true) != 0) s.SkipWithError("the sync before failed");
        s.ResumeTiming();
        if (sync(false) != 0) s.SkipWithError("sync-packages failed");
    }
}

void BM_FirstFullSync(benchmark::State& s) {
    for (auto _ : s) {
        s.PauseTiming();
        freshService();
        s.ResumeTiming();
        if (sync(true) != 0) s.SkipWithError("sync-packages failed");
    }
}

void BM_RawSetLabelForPkg(benchmark::State& s) {
    for (auto _ : s) {
        s.PauseTiming();
        freshService();
        s.ResumeTiming();
        if (zorvbench::runQuietly({ZORV_RAW_LABEL, manifest.c_str()}) != 0) s.SkipWithError("the C program failed");
    }
}

}  // namespace

BENCHMARK(BM_SyncNothingChanged)->UseRealTime()->Iterations(1)->Repetitions(5);  // in ns, as its goal
BENCHMARK(BM_FirstFullSync)->UseRealTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSetLabelForPkg)->UseRealTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    if (geteuid() != 0 || !std::filesystem::exists("/var/lib/dpkg/status")) {
        std::fprintf(stderr, "sync-packages needs root and a dpkg database in /var/lib/dpkg\n");
        return 0;
    }
    scratch = std::make_unique<zorvtest::ScratchDir>();
    state = *scratch / "sync.state";
    manifest = *scratch / "manifest";
    service = std::make_unique<zorvtest::ServiceDaemon>(ZORV_DAEMON);
    service->newDatabase().start();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", service->address().c_str(), 1);
    std::string why;
    if (!writeManifest(why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int rc =
        zorvbench::runWithRatios(static_cast<int>(args.size()), args.data(),
                                 {{"sync-packages with nothing changed (real dpkg database)", "BM_SyncNothingChanged",
                                   "", 200e6, zorvbench::Measure::RealTime},
                                  {"first full sync (--no-restore) / the same setLabelForPkg calls from C",
                                   "BM_FirstFullSync", "BM_RawSetLabelForPkg", 1.5, zorvbench::Measure::RealTime}});
    service.reset();
    scratch.reset();
    return rc;
}
