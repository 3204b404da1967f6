// readFile against the usual stream idiom (ifstream into a stringstream), on
// a small file, a large file and a /proc file that reports no size.
#include <zorv/labelmgr.hpp>

#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>

#include "scratch_dir.h"

namespace {

std::string streamRead(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A file of `size` bytes in a fresh directory, removed at exit of the run.
struct SampleFile {
    explicit SampleFile(size_t size) : path(dir.file("sample", std::string(size, 'x'))) {}
    zorvtest::ScratchDir dir;
    std::string path;
};

const SampleFile& sample(size_t size) {
    static const SampleFile small(4096), large(1 << 20);
    return size <= 4096 ? small : large;
}

std::string pathFor(int64_t size) { return size == 0 ? "/proc/self/stat" : sample(size_t(size)).path; }

void BM_ReadFile(benchmark::State& state) {
    const std::string path = pathFor(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(readFile(path));
}

void BM_StreamBaseline(benchmark::State& state) {
    const std::string path = pathFor(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(streamRead(path));
}

BENCHMARK(BM_ReadFile)->Arg(0)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_StreamBaseline)->Arg(0)->Arg(4096)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
