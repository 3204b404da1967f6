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
#include <regex>
#include <string>
#include <vector>

#include "ratio.h"
#include "wildcard_fixtures.h"

namespace {

// ---------------------------------------------------------------- matching

// matchesPattern against fnmatch (case-folding, the nearest the system has)
// on the same names: short names and patterns, and a long pattern on long
// paths.
void BM_matchesPattern(benchmark::State& state) {
    const zorvtest::WildcardCase& c = zorvtest::wildcardCases()[state.range(0)];
    const std::string pattern = c.wildcard;
    for (auto _ : state) {
        int hits = 0;
        for (const auto& text : zorvtest::textsFor(c)) hits += matchesPattern(pattern, text);
        benchmark::DoNotOptimize(hits);
    }
    state.SetLabel(pattern.substr(0, 24));
}

void BM_fnmatchCasefold(benchmark::State& state) {
    const zorvtest::WildcardCase& c = zorvtest::wildcardCases()[state.range(0)];
    for (auto _ : state) {
        int hits = 0;
        for (const auto& text : zorvtest::textsFor(c)) hits += ::fnmatch(c.fnmatchForm, text.c_str(), FNM_CASEFOLD) == 0;
        benchmark::DoNotOptimize(hits);
    }
    state.SetLabel(std::string(c.fnmatchForm).substr(0, 24));
}

const int kLastCase = static_cast<int>(zorvtest::wildcardCases().size()) - 1;
BENCHMARK(BM_matchesPattern)->DenseRange(0, kLastCase);
BENCHMARK(BM_fnmatchCasefold)->DenseRange(0, kLastCase);

// Patterns that backtracking matchers take polynomial or exponential time on,
// against runs of 'a' of two lengths (no 'b': no match): the time must grow
// with the text alone.
const char* const kPathological[] = {"*a*a*a*a*a*a*a*a*b*", "{a\\*}\\*b*"};  // the second is (a*)*b.*

void BM_matchesPatternPathological(benchmark::State& state) {
    const std::string pattern = kPathological[state.range(0)];
    const std::string text(static_cast<std::size_t>(state.range(1)), 'a');
    for (auto _ : state) benchmark::DoNotOptimize(matchesPattern(pattern, text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
}

BENCHMARK(BM_matchesPatternPathological)->ArgsProduct({{0, 1}, {10000, 1000000}});

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
        for (std::size_t i = 0; i < patterns.size(); ++i) hits += matchesPattern(patterns[i], zorvtest::fileNames()[i]);
        benchmark::DoNotOptimize(hits);
    }
}

void BM_regexCompiledPerCall(benchmark::State& state) {
    const auto patterns = distinctPatterns();
    for (auto _ : state) {
        int hits = 0;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
            const std::regex re(wildcardsToRegex(patterns[i]), std::regex::ECMAScript | std::regex::icase);
            hits += std::regex_match(zorvtest::fileNames()[i], re);
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

// A path, as the service hashes one per file it labels: one SM3 block, so
// what surrounds the digest weighs as much as the digest.
const std::string kPath = "/usr/lib/x86_64-linux-gnu/libzorvlabelmgr.so.1";

void BM_getSM3HashValue(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(getSM3HashValue(kPath));
}

void BM_rawEvpSm3(benchmark::State& state) {
    EVP_MD* md = EVP_MD_fetch(nullptr, "SM3", nullptr);
    for (auto _ : state) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, kPath.data(), kPath.size());
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
    std::vector<zorvbench::Ratio> ratios;
    for (std::size_t i = 0; i < zorvtest::wildcardCases().size(); ++i) {
        const zorvtest::WildcardCase& c = zorvtest::wildcardCases()[i];
        ratios.push_back({"matchesPattern / fnmatch, " + std::string(c.wildcard).substr(0, 24) +
                              (c.longTexts ? "... on long paths" : " on names"),
                          "BM_matchesPattern/" + std::to_string(i), "BM_fnmatchCasefold/" + std::to_string(i), 1.2});
    }
    // Linear time: a text a hundred times as long takes at most 150 times as long.
    for (int i = 0; i < 2; ++i) {
        const std::string name = "BM_matchesPatternPathological/" + std::to_string(i);
        ratios.push_back({std::string(kPathological[i]) + ", 1,000,000 / 10,000 bytes", name + "/1000000",
                          name + "/10000", 150});
    }
    ratios.push_back({"matchesPattern on cache misses / std::regex compiled per call", "BM_matchesPatternMisses",
                      "BM_regexCompiledPerCall", 1.0});
    ratios.push_back({"traverseDirectory / nftw, 20,020 entries", "BM_traverseDirectory", "BM_nftw", 0.5});
    ratios.push_back({"getSM3HashValue of a path, hex text included / an EVP digest of it", "BM_getSM3HashValue",
                      "BM_rawEvpSm3", 1.0});
    return zorvbench::runWithRatios(argc, argv, std::move(ratios));
}
