#include "floor_ratio_reporter.h"

namespace {

double secondsPerIteration(const benchmark::BenchmarkReporter::Run& run) {
    return run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
}

bool comparableAggregate(const std::string& name) {
    return name == "mean" || name == "median" || name == "min";
}

}  // namespace

bool FloorRatioReporter::ReportContext(const Context& context) {
    // The library sets this reporter's streams (to a file, for
    // --benchmark_out); the one that writes must use them.
    delegate_.SetOutputStream(&GetOutputStream());
    delegate_.SetErrorStream(&GetErrorStream());
    return delegate_.ReportContext(context);
}

bool FloorRatioReporter::isFloor(const std::string& name) const {
    for (const auto& [measured, floor] : floors_) {
        if (floor == name) {
            return true;
        }
    }
    return false;
}

void FloorRatioReporter::ReportRuns(const std::vector<Run>& runs) {
    std::vector<Run> annotated = runs;
    for (Run& run : annotated) {
        if (run.error_occurred) {
            continue;
        }
        const std::string& name = run.run_name.function_name;
        const double seconds = secondsPerIteration(run);
        double floorSeconds = 0;
        const auto floor = floors_.find(name);
        // The min aggregate is the fastest repetition too, and it is all
        // there is with --benchmark_report_aggregates_only.
        if (run.run_type == Run::RT_Iteration || run.aggregate_name == "min") {
            auto [fastest, first] = fastest_.emplace(name, seconds);
            if (!first && seconds < fastest->second) {
                fastest->second = seconds;
            }
        }
        if (run.run_type == Run::RT_Iteration) {
            if (floor != floors_.end() && fastest_.count(floor->second) != 0) {
                floorSeconds = fastest_.at(floor->second);
            }
        } else if (comparableAggregate(run.aggregate_name)) {
            aggregates_[{name, run.aggregate_name}] = seconds;
            if (floor != floors_.end()) {
                const auto floorAggregate = aggregates_.find({floor->second, run.aggregate_name});
                if (floorAggregate != aggregates_.end()) {
                    floorSeconds = floorAggregate->second;
                }
            }
        }
        if (isFloor(name) &&
            (run.run_type == Run::RT_Iteration || comparableAggregate(run.aggregate_name))) {
            // A floor is its own floor. CSV output also needs the counter in
            // the first rows it writes to give it a column at all.
            floorSeconds = seconds;
        }
        if (floorSeconds > 0) {
            run.counters["ratio_to_floor"] = benchmark::Counter(seconds / floorSeconds);
        }
    }
    delegate_.ReportRuns(annotated);
}
