#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

// Passes every run on to another reporter (the one --benchmark_format or
// --benchmark_out_format chose), adding to each run of a benchmark that has
// a floor the counter "ratio_to_floor": its time over the floor's, measured
// in the same run. Iteration runs are read against the floor's fastest
// repetition so far, and the mean, median and min aggregates against the
// floor's same aggregate; floors themselves read 1. A floor must run before
// what it is the floor of.
class FloorRatioReporter : public benchmark::BenchmarkReporter {
public:
    // `floors` maps a benchmark's name to its floor's.
    FloorRatioReporter(benchmark::BenchmarkReporter& delegate,
                       std::map<std::string, std::string> floors)
        : delegate_(delegate), floors_(std::move(floors)) {}

    bool ReportContext(const Context& context) override;
    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override { delegate_.Finalize(); }

    // The fastest repetition of each benchmark so far, in seconds per iteration.
    const std::map<std::string, double>& fastest() const noexcept { return fastest_; }

private:
    bool isFloor(const std::string& name) const;

    benchmark::BenchmarkReporter& delegate_;
    std::map<std::string, std::string> floors_;
    std::map<std::string, double> fastest_;
    std::map<std::pair<std::string, std::string>, double> aggregates_;  // (name, aggregate)
};
