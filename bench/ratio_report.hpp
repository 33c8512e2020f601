// A console reporter that also remembers each benchmark's time per
// iteration, so that a benchmark program can state its targets as ratios
// measured in the same run. The time is the CPU time of the measuring
// thread (the machine is shared, and other processes' time does not count),
// or the wall time for benchmarks that ask for it (the thread-count ones,
// whose workers' time the CPU time of the caller would miss). With
// --benchmark_repetitions each ratio is that of the medians, followed by the
// lowest and highest ratio of the repetitions taken pairwise.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

class RatioReport : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration)
                seconds_[r.benchmark_name()].push_back(wall_time(r.benchmark_name()) ? r.GetAdjustedRealTime()
                                                                                     : r.GetAdjustedCPUTime());
    }
    // Prints slow/fast and whether it meets the target (a lower bound when
    // `at_least`, else an upper bound).
    void ratio(const std::string& what, const std::string& num, const std::string& den, double target,
               bool at_least = true) const {
        const auto a = seconds_.find(num), b = seconds_.find(den);
        if (a == seconds_.end() || b == seconds_.end()) return;
        const double r = median(a->second) / median(b->second);
        std::printf("%-60s %7.2f  (target %s %.2f: %s)", what.c_str(), r, at_least ? ">=" : "<=", target,
                    (at_least ? r >= target : r <= target) ? "met" : "NOT met");
        const size_t n = std::min(a->second.size(), b->second.size());
        if (n > 1) {
            std::vector<double> pairs;
            for (size_t i = 0; i < n; ++i) pairs.push_back(a->second[i] / b->second[i]);
            std::printf("  repetitions %.2f to %.2f", *std::min_element(pairs.begin(), pairs.end()),
                        *std::max_element(pairs.begin(), pairs.end()));
        }
        std::printf("\n");
    }

private:
    static bool wall_time(const std::string& name) {
        const std::string suffix = "/real_time";
        return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
    }
    static double median(std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const size_t h = v.size() / 2;
        return v.size() % 2 == 1 ? v[h] : 0.5 * (v[h - 1] + v[h]);
    }
    std::map<std::string, std::vector<double>> seconds_;
};

// Runs every registered benchmark with the report above, then `ratios`.
template <class Ratios>
int run_with_ratios(int argc, char** argv, Ratios ratios) {
    benchmark::Initialize(&argc, argv);
    RatioReport report;
    benchmark::RunSpecifiedBenchmarks(&report);
    std::printf("\nratios measured in this run:\n");
    ratios(report);
    benchmark::Shutdown();
    return 0;
}
