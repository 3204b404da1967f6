// Cost of the label codec and of reading a stored label, next to a raw
// getxattr of the same file as the baseline. Debug logging is filtered out,
// as in production. Prints the ratios after the table.
#include <zorv/labelmgr.hpp>

#include <benchmark/benchmark.h>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;

// 57 bytes in binary form.
Label sampleLabel() { return Label{Id(1, 2, 3), Id(4, 0, 0), Id(5, 0, 6), 7, 5}; }

// A labelled file in a fresh temporary directory, removed at exit.
struct LabelledFile {
    LabelledFile() {
        std::string pattern = (fs::temp_directory_path() / "zorv-label-bench-XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr) return;
        dir = pattern;
        path = dir + "/file";
        std::ofstream(path) << "labelled";
        ready = sampleLabel().setToXattr(path, false) == 0;
    }
    ~LabelledFile() {
        if (!dir.empty()) fs::remove_all(dir);
    }
    std::string dir;
    std::string path;
    bool ready = false;
};

LabelledFile& labelledFile() {
    static LabelledFile file;
    return file;
}

void BM_RawGetxattr(benchmark::State& state) {
    LabelledFile& file = labelledFile();
    if (!file.ready) return state.SkipWithError("cannot store security.zorv here (needs root and xattr support)");
    unsigned char buf[81];
    for (auto _ : state) {
        benchmark::DoNotOptimize(getxattr(file.path.c_str(), "security.zorv", buf, sizeof buf));
    }
}
BENCHMARK(BM_RawGetxattr);

// Following links, a successful read is one system call; with noFollow the
// existence test of the link's target adds a status query.
void BM_GetFromXattr(benchmark::State& state) {
    LabelledFile& file = labelledFile();
    if (!file.ready) return state.SkipWithError("cannot store security.zorv here (needs root and xattr support)");
    const bool noFollow = state.range(0) != 0;
    Label label;
    for (auto _ : state) {
        benchmark::DoNotOptimize(label.getFromXattr(file.path, noFollow));
    }
}
BENCHMARK(BM_GetFromXattr)->ArgName("noFollow")->Arg(0)->Arg(1);

void BM_SerializeToBuffer(benchmark::State& state) {
    Label label = sampleLabel();
    unsigned char buf[81];
    for (auto _ : state) {
        benchmark::DoNotOptimize(label.serializeToBuffer(buf, sizeof buf));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SerializeToBuffer);

void BM_DeserializeFromBuffer(benchmark::State& state) {
    Label source = sampleLabel();
    unsigned char buf[81];
    size_t len = source.serializeToBuffer(buf, sizeof buf);
    Label label;
    for (auto _ : state) {
        benchmark::DoNotOptimize(label.deserializeFromBuffer(buf, len));
    }
}
BENCHMARK(BM_DeserializeFromBuffer);

// Keeps the per-iteration CPU times so that the ratios can be printed. CPU
// time, not wall time: on a busy machine the wall time mostly measures the
// other processes.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (!run.error_occurred) nanoseconds[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
    }
    std::map<std::string, double> nanoseconds;
};

}  // namespace

int main(int argc, char** argv) {
    Logger::getInstance();
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::INFO);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& ns = reporter.nanoseconds;
    for (const char* name : {"BM_GetFromXattr/noFollow:0", "BM_GetFromXattr/noFollow:1"}) {
        if (ns.count(name) && ns.count("BM_RawGetxattr")) {
            std::printf("%s / raw getxattr (CPU time): %.2fx (goal <= 1.30x)\n", name, ns[name] / ns["BM_RawGetxattr"]);
        }
    }
    for (const char* name : {"BM_SerializeToBuffer", "BM_DeserializeFromBuffer"}) {
        if (ns.count(name)) std::printf("%s: %.1f ns CPU time per 57-byte label (goal < 50 ns)\n", name, ns[name]);
    }
    benchmark::Shutdown();
    return 0;
}
