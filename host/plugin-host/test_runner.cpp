#include "test_runner.h"

#include <algorithm>
#include <exception>
#include <thread>

#include "contract_tests.h"
#include "isolation.h"
#include "process/process.h"

namespace host {

namespace {

class SilentObserver final : public StepObserver {
public:
    void stepStarted(int, Step) override {}
    void descriptorRead(const DescriptorInfo&) override {}
};

Report runOne(const Options& options, const ContractTest& test) {
    try {
        if (options.inProcess) {
            SilentObserver observer;
            return runContractTest(test, options, observer);
        }
        return runIsolated(options, test);
    } catch (const std::exception& error) {
        // The host's own fault, not the plugin's: say so rather than guess.
        Report report;
        report.outcome = Outcome::Unusable;
        report.cause = std::string("internal error: ") + error.what();
        report.tests.push_back(TestResult{test.name, TestStatus::Failed, report.cause});
        return report;
    }
}

Report skipped(const ContractTest& test) {
    Report report;
    report.tests.push_back(TestResult{test.name, TestStatus::Skipped, {}});
    return report;
}

bool failed(const TestResult& result) {
    return result.status != TestStatus::Passed && result.status != TestStatus::Skipped;
}

Report merge(const Options& options, const std::vector<const ContractTest*>& tests,
             const std::vector<Report>& reports) {
    Report merged;
    merged.module = process::pathToUtf8(options.module);
    merged.cyclesRequested = options.cycles;
    // The cycle's fields come from the lifecycle test, else from the first
    // test that ran.
    const Report* source = nullptr;
    for (std::size_t i = 0; i < tests.size(); ++i) {
        const bool ran = reports[i].tests.front().status != TestStatus::Skipped;
        if (ran && (source == nullptr || tests[i]->run == runLifecycleTest)) {
            source = &reports[i];
        }
        if (!merged.descriptor && reports[i].descriptor) {
            merged.descriptor = reports[i].descriptor;
            merged.warnings = reports[i].warnings;
        }
        merged.tests.push_back(reports[i].tests.front());
    }
    if (source != nullptr) {
        merged.changes = source->changes;
        merged.steps = source->steps;
        merged.cyclesPassed = source->cyclesPassed;
        merged.released = source->released;
        merged.unloaded = source->unloaded;
        merged.peakResidentKiB = source->peakResidentKiB;
    }

    const auto unusable = std::find_if(reports.begin(), reports.end(), [](const Report& report) {
        return report.outcome == Outcome::Unusable;
    });
    if (unusable != reports.end()) {
        merged.outcome = Outcome::Unusable;
        merged.cause = unusable->cause;
        return merged;
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
    return merged;
}

}  // namespace

Report runTests(const Options& options) {
    std::vector<const ContractTest*> tests;
    for (const auto& test : contractTests()) {
        if (options.tests.empty() || std::find(options.tests.begin(), options.tests.end(),
                                               test.name) != options.tests.end()) {
            tests.push_back(&test);
        }
    }
    std::vector<Report> reports(tests.size());
    std::size_t next = 0;
    if (tests.front()->run == runDescriptorTest) {
        reports[0] = runOne(options, *tests[0]);
        next = 1;
        // A module that cannot get through loading would fail every test the
        // same way, and a hang would cost each of them the step limit again.
        if (reports[0].tests.front().status != TestStatus::Passed) {
            for (std::size_t i = 1; i < tests.size(); ++i) {
                reports[i] = skipped(*tests[i]);
            }
            return merge(options, tests, reports);
        }
    }
    if (options.inProcess) {
        for (std::size_t i = next; i < tests.size(); ++i) {
            reports[i] = runOne(options, *tests[i]);
        }
    } else {
        // Each child spends most of its time starting up, or waiting on a
        // hung plugin; running them all at once costs only the slowest.
        std::vector<std::thread> children;
        for (std::size_t i = next; i < tests.size(); ++i) {
            children.emplace_back([&, i] { reports[i] = runOne(options, *tests[i]); });
        }
        for (auto& child : children) {
            child.join();
        }
    }
    return merge(options, tests, reports);
}

}  // namespace host
