// getFileTid called from Python through the module next to the same call
// made from C through the library, both against the stand-in service on a
// private bus, interleaved in one run. What the module adds (argument
// conversion, releasing and taking back the interpreter lock, the exception
// check) must stay small next to the bus round trip.
#include <pybind11/embed.h>
#include <zorv/labelmgr.h>

#include <cstdlib>

#include "ratio.h"
#include "test_bus.h"

namespace py = pybind11;

namespace {

const char* const kPath = "/usr/bin/true";
py::object pythonCall;  // a Python function making one call; set in main

void BM_CGetFileTid(benchmark::State& state) {
    for (auto _ : state) {
        unsigned int tid = 0;
        if (getFileTid(kPath, &tid) != 0) state.SkipWithError("getFileTid failed");
        benchmark::DoNotOptimize(tid);
    }
}

void BM_PythonGetFileTid(benchmark::State& state) {
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(pythonCall().ptr());
        } catch (const py::error_already_set& e) {
            state.SkipWithError(e.what());
        }
    }
}

}  // namespace

BENCHMARK(BM_CGetFileTid)->UseRealTime()->MinTime(1.0)->Repetitions(5);
BENCHMARK(BM_PythonGetFileTid)->UseRealTime()->MinTime(1.0)->Repetitions(5);

int main(int argc, char** argv) {
    zorvtest::PrivateBus bus;
    bus.start(true);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    py::scoped_interpreter interpreter;
    py::module_::import("sys").attr("path").attr("insert")(0, ZORV_PYTHON_DIR);
    py::dict scope;
    py::exec("import zorvlabelmgr\n"
             "def one(get=zorvlabelmgr.get_file_tid, path='/usr/bin/true'):\n"
             "    return get(path)\n",
             scope);
    pythonCall = scope["one"];
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int rc = zorvbench::runWithRatios(static_cast<int>(args.size()), args.data(),
                                      {{"getFileTid from Python / from C", "BM_PythonGetFileTid", "BM_CGetFileTid",
                                        1.3, zorvbench::Measure::RealTime}});
    pythonCall = py::object();
    return rc;
}
