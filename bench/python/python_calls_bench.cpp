// getFileTid called from Python through the module next to the same call
// made from C through the library, both against the stand-in service on a
// private bus, in one process. What the module adds (argument conversion,
// releasing and taking back the interpreter lock, the exception check) must
// stay small next to the bus round trip.
//
// The two calls are made in pairs, in alternating order, and each is timed on
// its own: on a shared machine the load changes from one moment to the next,
// and only calls made side by side meet the same load. The figure is the
// ratio of the two totals, as the median over the repetitions.
#include <pybind11/embed.h>
#include <zorv/labelmgr.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "standin_bus.h"

#include <benchmark/benchmark.h>

namespace py = pybind11;

namespace {

using Clock = std::chrono::steady_clock;

const char* const kPath = "/usr/bin/true";
constexpr double kGoal = 1.3;
py::object pythonCall;  // a Python function making one call; set in main

double timeC() {
    auto start = Clock::now();
    unsigned int tid = 0;
    if (getFileTid(kPath, &tid) != 0) return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double timePython() {
    auto start = Clock::now();
    pythonCall();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_GetFileTidPythonAndC(benchmark::State& state) {
    double c = 0, python = 0;
    bool pythonFirst = false;
    for (auto _ : state) {
        double tc, tp;
        if (pythonFirst) {
            tp = timePython();
            tc = timeC();
        } else {
            tc = timeC();
            tp = timePython();
        }
        pythonFirst = !pythonFirst;
        if (tc < 0) {
            state.SkipWithError("getFileTid failed");
            break;
        }
        c += tc;
        python += tp;
        state.SetIterationTime(tc + tp);
    }
    auto n = static_cast<double>(state.iterations());
    state.counters["c_us"] = c / n * 1e6;
    state.counters["python_us"] = python / n * 1e6;
    state.counters["ratio"] = c > 0 ? python / c : 0;
}

// Prints the median ratio after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) ratios_.push_back(run.counters.at("ratio"));
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        if (ratios_.empty()) return;
        std::sort(ratios_.begin(), ratios_.end());
        size_t n = ratios_.size();
        double median = n % 2 ? ratios_[n / 2] : (ratios_[n / 2 - 1] + ratios_[n / 2]) / 2;
        std::printf("getFileTid from Python / from C: %.2fx (median of %zu runs, goal <= %.2fx)%s\n", median, n,
                    kGoal, median <= kGoal ? "" : "  MISSED");
    }

private:
    std::vector<double> ratios_;
};

}  // namespace

BENCHMARK(BM_GetFileTidPythonAndC)->UseManualTime()->MinTime(2.0)->Repetitions(5);

int main(int argc, char** argv) {
    zorvbench::StandinBus bus;
    py::scoped_interpreter interpreter;
    py::module_::import("sys").attr("path").attr("insert")(0, ZORV_PYTHON_DIR);
    py::dict scope;
    py::exec("import zorvlabelmgr\n"
             "def one(get=zorvlabelmgr.get_file_tid, path='/usr/bin/true'):\n"
             "    return get(path)\n",
             scope);
    pythonCall = scope["one"];
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    try {
        benchmark::RunSpecifiedBenchmarks(&reporter);
    } catch (const py::error_already_set& e) {
        std::fprintf(stderr, "the Python call failed: %s\n", e.what());
        return 1;
    }
    benchmark::Shutdown();
    pythonCall = py::object();
    return 0;
}
