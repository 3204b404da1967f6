// Each benchmark measures a library call next to a baseline in the same run;
// the figure that matters is their ratio (these machines are noisy, absolute
// times are not), printed after the table as the median over the runs.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace zorvbench {

enum class Measure {
    CpuTime,   // CPU time per iteration: on a busy machine wall time mostly measures the others
    RealTime,  // wall time per iteration (manual timing, or waiting on another process)
    Rate,      // items per second; the goal is a floor, not a ceiling
};

struct Ratio {
    std::string label;     // what is compared, as printed
    std::string subject;   // benchmark name of the library side
    std::string baseline;  // benchmark name of the baseline; empty: report the subject's own time in ns
    double goal;           // the most the ratio may be (Rate: the least), or ns when there is no baseline
    Measure measure = Measure::CpuTime;
};

class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(std::vector<Ratio> ratios) : ratios_(std::move(ratios)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            // Named by function and arguments, without repetition or timing settings.
            const auto& n = run.run_name;
            Sample& s = samples_[n.function_name + (n.args.empty() ? "" : "/" + n.args)];
            s.cpu.push_back(run.GetAdjustedCPUTime());
            s.real.push_back(run.GetAdjustedRealTime());
            auto rate = run.counters.find("items_per_second");
            if (rate != run.counters.end()) s.rate.push_back(rate->second);
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const Ratio& r : ratios_) {
            double subject = median(r.subject, r.measure);
            if (subject <= 0) continue;  // not selected, or failed
            if (r.baseline.empty()) {
                std::printf("%s: %.1f ns (goal <= %.0f ns)%s\n", r.label.c_str(), subject, r.goal,
                            subject <= r.goal ? "" : "  MISSED");
                continue;
            }
            double baseline = median(r.baseline, r.measure);
            if (baseline <= 0) continue;
            double ratio = subject / baseline;
            bool met = r.measure == Measure::Rate ? ratio >= r.goal : ratio <= r.goal;
            std::printf("%s: %.2fx (median of %zu runs, goal %s %.2fx)%s\n", r.label.c_str(), ratio,
                        samples_[r.subject].cpu.size(), r.measure == Measure::Rate ? ">=" : "<=", r.goal,
                        met ? "" : "  MISSED");
        }
    }

private:
    struct Sample {
        std::vector<double> cpu, real, rate;
    };

    double median(const std::string& name, Measure measure) {
        auto it = samples_.find(name);
        if (it == samples_.end()) return 0;
        std::vector<double> v = measure == Measure::CpuTime    ? it->second.cpu
                                : measure == Measure::RealTime ? it->second.real
                                                               : it->second.rate;
        if (v.empty()) return 0;
        std::sort(v.begin(), v.end());
        size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }

    std::vector<Ratio> ratios_;
    std::map<std::string, Sample> samples_;
};

// Runs the benchmarks that the command line selects and prints the ratios.
inline int runWithRatios(int argc, char** argv, std::vector<Ratio> ratios) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter(std::move(ratios));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}

}  // namespace zorvbench
