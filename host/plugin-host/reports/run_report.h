#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "test_report.h"

namespace host {

// One line of the run report's test list.
struct TestResult {
    std::string name;
    TestStatus status = TestStatus::Passed;
    std::string cause;  // why it did not pass; empty when it did
    double seconds = 0;
};

// What the plugin printed to one stream during one test.
struct PluginOutput {
    std::string test;
    std::string stream;
    std::uintmax_t bytes = 0;
    std::string firstLine;  // escaped, bounded
};

// What --explore did: where its sequences came from and how many ran.
struct Exploration {
    std::uint64_t seed = 0;
    int sequences = 0;    // asked for
    int ran = 0;          // up to the first that failed, or all
    std::string failing;  // the failing one, shrunk; empty when none failed
};

// How the run's children were kept inside their own tests: the parts in
// place and those the system refused (by the names README uses), and what
// the run opened to them.
struct ContainmentRecord {
    std::vector<std::string> inPlace;
    std::vector<std::string> missing;
    std::string why;  // the system's reason, when something is missing
    bool network = false;
    std::vector<std::string> writable;
};

// What plugin-host tells the user about one module: the named tests' reports
// merged. The descriptor comes from whichever test read it, the cycle's
// changes, steps, counts and memory from the test that reports cycles.
struct RunReport {
    std::string module;
    std::vector<TestResult> tests;
    std::optional<DescriptorInfo> descriptor;
    std::vector<Warning> warnings;
    std::vector<PluginOutput> pluginOutput;
    std::vector<Change> changes;
    // --together: what the module's steps changed beside the others, in order.
    std::optional<std::vector<Change>> togetherChanges;
    StepStatuses steps{};
    std::string cycleTest;  // the test that reports cycles, when it ran; not in JSON
    int cyclesRequested = 1;
    int cyclesPassed = 0;
    bool released = false;
    bool unloaded = false;
    long peakResidentKiB = 0;
    std::vector<MemorySample> memory;  // over the cycles, as sampled; not in JSON
    Outcome outcome = Outcome::Passed;
    std::string cause;                             // why it did not pass; empty when it did
    double seconds = 0;                            // the whole run's, its tests side by side
    std::optional<Exploration> exploration;        // --explore's
    std::optional<ContainmentRecord> containment;  // none in plugin-host's own process
    // The tests' own reports, as merged: --together's test is merged in
    // with them once it has run. Not in JSON.
    std::vector<TestReport> testReports;

    StepStatus step(Step s) const { return steps[static_cast<std::size_t>(s)]; }
};

// A run of several modules ends as its worst: plugin-host's own failure
// first, then a module the host cannot use, then a plugin that misbehaved.
inline Outcome worstOutcome(const std::vector<RunReport>& reports) {
    Outcome worst = Outcome::Passed;
    for (const auto& report : reports) {
        worst = static_cast<int>(report.outcome) > static_cast<int>(worst) ? report.outcome : worst;
    }
    return worst;
}

}  // namespace host
