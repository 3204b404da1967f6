// Cost of the label codec and of reading a stored label, next to a raw
// getxattr of the same file as the baseline. Debug logging is filtered out,
// as in production.
#include <zorv/labelmgr.hpp>

#include <benchmark/benchmark.h>
#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include <sys/xattr.h>
#include <unistd.h>

#include "ratio.h"
#include "scratch_dir.h"

namespace {

// 57 bytes in binary form.
Label sampleLabel() { return Label{Id(1, 2, 3), Id(4, 0, 0), Id(5, 0, 6), 7, 5}; }

// A labelled file in a fresh temporary directory, removed at exit.
struct LabelledFile {
    zorvtest::ScratchDir dir;
    std::string path = dir.file("file", "labelled");
    bool ready = sampleLabel().setToXattr(path, false) == 0;
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

}  // namespace

int main(int argc, char** argv) {
    Logger::getInstance();
    log4cpp::Category::getRoot().setPriority(log4cpp::Priority::INFO);
    using zorvbench::Ratio;
    return zorvbench::runWithRatios(argc, argv, {
        Ratio{"getFromXattr / raw getxattr", "BM_GetFromXattr/noFollow:0", "BM_RawGetxattr", 1.3},
        Ratio{"getFromXattr(noFollow) / raw getxattr", "BM_GetFromXattr/noFollow:1", "BM_RawGetxattr", 1.3},
        Ratio{"serializeToBuffer of a 57-byte label", "BM_SerializeToBuffer", "", 50},
        Ratio{"deserializeFromBuffer of a 57-byte label", "BM_DeserializeFromBuffer", "", 50},
    });
}
