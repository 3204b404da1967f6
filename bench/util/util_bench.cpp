// Each library call next to the baseline it is measured against; compare
// the pairs of one run (the ratio is the figure that matters).
#if defined(__SANITIZE_ADDRESS__)
// GCC 12 reports uninitialised std::function members inside <regex> when
// instrumented; the code in question is the standard library's.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <zorv/labelmgr.hpp>

#include <benchmark/benchmark.h>

#include <fnmatch.h>
#include <ftw.h>
#include <openssl/evp.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "ratio.h"

namespace {

// ---------------------------------------------------------------- matching

std::vector<std::string> makeNames() {
    static const char* const kStems[] = {"libc", "README", "config", "Makefile", "zorv_label", "passwd", "x"};
    static const char* const kExts[] = {".so.6", ".conf", ".TXT", ".txt", "", ".log.1", ".Conf"};
    std::mt19937 rng(42);
    std::vector<std::string> names;
    for (int i = 0; i < 10000; ++i) {
        names.push_back(std::string(kStems[rng() % 7]) + std::to_string(rng() % 1000) + kExts[rng() % 7]);
    }
    return names;
}

const std::vector<std::string>& names() {
    static const std::vector<std::string> list = makeNames();
    return list;
}

const char* const kPatterns[] = {"*.conf", "lib*.so.?", "config[0-9]*", "*_label*.{txt,log.1}"};

void BM_matchesPattern(benchmark::State& state) {
    const std::string pattern = kPatterns[state.range(0)];
    for (auto _ : state) {
        int hits = 0;
        for (const auto& name : names()) hits += matchesPattern(pattern, name);
        benchmark::DoNotOptimize(hits);
    }
    state.SetLabel(pattern);
}

void BM_fnmatchCasefold(benchmark::State& state) {
    std::string pattern = kPatterns[state.range(0)];
    if (state.range(0) == 3) pattern = "*_label*.txt";  // fnmatch has no brace groups
    for (auto _ : state) {
        int hits = 0;
        for (const auto& name : names()) hits += ::fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0;
        benchmark::DoNotOptimize(hits);
    }
    state.SetLabel(pattern);
}

BENCHMARK(BM_matchesPattern)->DenseRange(0, 3);
BENCHMARK(BM_fnmatchCasefold)->DenseRange(0, 3);

// Patterns that are each used once (more of them than the cache holds): the
// cost of a miss against compiling a std::regex for every call.
std::vector<std::string> distinctPatterns() {
    std::vector<std::string> patterns;
    for (int i = 0; i < 1000; ++i) patterns.push_back("config" + std::to_string(i) + (i % 2 ? "[0-9]*" : "*.conf"));
    return patterns;
}

void BM_matchesPatternMisses(benchmark::State& state) {
    const auto patterns = distinctPatterns();
    for (auto _ : state) {
        int hits = 0;
        for (std::size_t i = 0; i < patterns.size(); ++i) hits += matchesPattern(patterns[i], names()[i]);
        benchmark::DoNotOptimize(hits);
    }
}

void BM_regexCompiledPerCall(benchmark::State& state) {
    const auto patterns = distinctPatterns();
    for (auto _ : state) {
        int hits = 0;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            const std::regex re(wildcardsToRegex(patterns[i]), std::regex::ECMAScript | std::regex::icase);
            hits += std::regex_match(names()[i], re);
        }
        benchmark::DoNotOptimize(hits);
    }
}

BENCHMARK(BM_matchesPatternMisses)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_regexCompiledPerCall)->Unit(benchmark::kMillisecond);

// ------------------------------------------------------------------ walking

class Tree {
public:
    Tree() {
        std::string templ = (std::filesystem::temp_directory_path() / "zorv-bench-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) std::abort();
        root_ = templ;
        // 20 top directories x 10 subdirectories x 99 files, plus the
        // directories themselves: 20,020 entries.
        for (int a = 0; a < 20; ++a) {
            for (int b = 0; b < 10; ++b) {
                const std::string dir = root_ + "/d" + std::to_string(a) + "/s" + std::to_string(b);
                std::filesystem::create_directories(dir);
                for (int f = 0; f < 99; ++f) std::ofstream(dir + "/file" + std::to_string(f));
            }
        }
    }
    ~Tree() { std::filesystem::remove_all(root_); }
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

const Tree& tree() {
    static Tree instance;
    return instance;
}

// The tree is built before the clock starts: creating 20,000 files is no
// part of either walk.
void BM_traverseDirectory(benchmark::State& state) {
    const std::string& root = tree().root();
    for (auto _ : state) {
        std::vector<std::string> out;
        traverseDirectory(root, out);
        benchmark::DoNotOptimize(out.data());
        state.counters["entries"] = static_cast<double>(out.size());
    }
}

thread_local std::vector<std::string>* nftwOut;
int collect(const char* path, const struct stat*, int, struct FTW*) {
    nftwOut->emplace_back(path);
    return 0;
}

void BM_nftw(benchmark::State& state) {
    const std::string& root = tree().root();
    for (auto _ : state) {
        std::vector<std::string> out;
        nftwOut = &out;
        ::nftw(root.c_str(), collect, 64, FTW_PHYS);
        benchmark::DoNotOptimize(out.data());
        state.counters["entries"] = static_cast<double>(out.size());
    }
}

BENCHMARK(BM_traverseDirectory)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_nftw)->Unit(benchmark::kMillisecond);

// ------------------------------------------------------------------ hashing

const std::string kInput64(64, 'z');

void BM_getSM3HashValue(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(getSM3HashValue(kInput64));
}

void BM_rawEvpSm3(benchmark::State& state) {
    EVP_MD* md = EVP_MD_fetch(nullptr, "SM3", nullptr);
    for (auto _ : state) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, kInput64.data(), kInput64.size());
        EVP_DigestFinal_ex(ctx, digest, &length);
        EVP_MD_CTX_free(ctx);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_free(md);
}

BENCHMARK(BM_getSM3HashValue);
BENCHMARK(BM_rawEvpSm3);

}  // namespace

int main(int argc, char** argv) {
    return zorvbench::runWithRatios(argc, argv, {{"traverseDirectory / nftw, 20,020 entries", "BM_traverseDirectory",
                                                  "BM_nftw", 0.5}});
}
