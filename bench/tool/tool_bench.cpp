// `zorv-label get tid PATH` as a whole process next to a minimal C program
// that makes the same call through the library: what the tool adds to a
// start-up (its command line, logging set-up, output) must stay small.
// Both run against the stand-in service on a private bus.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ratio.h"
#include "private_bus.h"

extern char** environ;

namespace {

// Runs the program with its output discarded; its exit status, or -1.
int run(std::vector<const char*> argv) {
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

void BM_ToolGetTid(benchmark::State& state) {
    for (auto _ : state)
        if (run({ZORV_TOOL, "get", "tid", "/usr/bin/true"}) != 0) state.SkipWithError("zorv-label get failed");
}

void BM_RawCGetTid(benchmark::State& state) {
    for (auto _ : state)
        if (run({ZORV_RAW_GET, "/usr/bin/true"}) != 0) state.SkipWithError("raw C program failed");
}

}  // namespace

BENCHMARK(BM_RawCGetTid)->UseRealTime()->MinTime(1.0)->Repetitions(5);
BENCHMARK(BM_ToolGetTid)->UseRealTime()->MinTime(1.0)->Repetitions(5);

int main(int argc, char** argv) {
    zorvtest::PrivateBus bus;
    bus.start(true);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    // The two alternate, so that both meet the same load on a shared machine.
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    return zorvbench::runWithRatios(static_cast<int>(args.size()), args.data(),
                                    {{"zorv-label get tid / minimal C program, whole process", "BM_ToolGetTid",
                                      "BM_RawCGetTid", 1.5, zorvbench::Measure::RealTime}});
}
