#include "merge.h"

#include <algorithm>

#include "process/process.h"
#include "text_escape.h"
#include "warnings.h"

namespace host {

namespace {
bool failed(const TestResult& result) {
    return result.status != TestStatus::Passed && result.status != TestStatus::Skipped;
}
}  // namespace

RunReport mergeReports(const Options& options, const std::vector<const ContractTest*>& tests,
                       const std::vector<TestReport>& reports) {
    RunReport merged;
    merged.testReports = reports;
    merged.module = process::pathToUtf8(options.module);
    merged.cyclesRequested = options.cycles;
    const TestReport* cycles = nullptr;
    bool cycleTestRan = false;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        const TestReport& report = reports[i];
        const bool ran = report.status != TestStatus::Skipped;
        if (ran && !cycleTestRan && !tests[i]->showsChangesApart &&
            (cycles == nullptr || tests[i]->reportsCycles)) {
            cycles = &report;
            cycleTestRan = tests[i]->reportsCycles;
        }
        if (!merged.descriptor && report.descriptor) {
            merged.descriptor = report.descriptor;
        }
        merged.tests.push_back(
            TestResult{report.name, report.status, report.cause, report.seconds});
        if (tests[i]->showsChangesApart && (ran || !report.changes.empty())) {
            merged.togetherChanges = report.changes;
        }
    }
    if (merged.descriptor) {
        merged.warnings = descriptorWarnings(*merged.descriptor);
    }
    for (auto& warning : runWarnings(reports)) {
        merged.warnings.push_back(std::move(warning));
    }
    for (const auto& report : reports) {
        for (const auto& printed : report.output) {
            merged.pluginOutput.push_back(PluginOutput{report.name, printed.stream, printed.bytes,
                                                       firstLineEscaped(printed.head)});
        }
    }
    if (cycleTestRan) {
        merged.cycleTest = cycles->name;
    }
    if (cycles != nullptr) {
        merged.changes = cycles->changes;
        merged.steps = cycles->steps;
        merged.cyclesPassed = cycles->cyclesPassed;
        merged.released = cycles->released;
        merged.unloaded = cycles->unloaded;
        merged.peakResidentKiB = cycles->peakResidentKiB;
        merged.memory = cycles->memory;
    }

    // plugin-host's own failure outranks any verdict on the plugin, and a
    // module the host refuses outranks what its tests found.
    for (const Outcome worst : {Outcome::HostFailure, Outcome::Unusable}) {
        const auto found =
            std::find_if(reports.begin(), reports.end(),
                         [worst](const TestReport& r) { return r.outcome == worst; });
        if (found != reports.end()) {
            merged.outcome = worst;
            merged.cause = found->cause;
            return merged;
        }
    }
    const auto failures = std::count_if(merged.tests.begin(), merged.tests.end(), failed);
    if (failures > 0) {
        const TestResult& first = *std::find_if(merged.tests.begin(), merged.tests.end(), failed);
        merged.outcome = Outcome::Misbehaved;
        merged.cause = first.name + ": " + first.cause;
        if (failures > 1) {
            merged.cause += " (and " + std::to_string(failures - 1) + " more test" +
                            (failures > 2 ? "s" : "") + " failed)";
        }
    }
    if (options.strict) {
        failOnWarnings(merged);
    }
    return merged;
}

}  // namespace host
