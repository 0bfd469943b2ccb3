#include "together_run.h"

#include <chrono>
#include <optional>

#include "catalog.h"
#include "child_ending.h"
#include "crash_watch.h"
#include "exit_watch.h"
#include "explore_together.h"
#include "isolation.h"
#include "merge.h"
#include "process/process.h"
#include "together.h"

namespace host {

namespace {

const ContractTest* testNamed(const std::string& name) {
    if (name == togetherTest().name) {
        return &togetherTest();
    }
    if (name == exploreTest().name) {
        return &exploreTest();
    }
    return findContractTest(name);
}

// In plugin-host's own process nobody watches from outside.
class Unwatched final : public StepObserver {
public:
    void stepStarted(int, Step) override {}
    void descriptorRead(const DescriptorInfo&) override {}
};

// Its own output is the host's in this process: what the plugins print is
// kept aside, and not anyone's in particular.
std::vector<TestReport> inThisProcess(const Options& options) {
    std::string names;
    for (const auto& module : options.modules) {
        names += (names.empty() ? "" : ", ") + togetherName(module);
    }
    watchPluginExits(names);
    watchPluginCrashes(names);
    process::OwnOutputCapture capture;
    Unwatched observer;
    std::vector<TestReport> reports = runTogether(options, observer);
    capture.stop();
    return reports;
}

}  // namespace

void addTogether(const Options& options, const std::vector<std::filesystem::path>& modules,
                 std::vector<RunReport>& reports, RunProgress* progress) {
    Options together = options;
    std::vector<std::size_t> usable;
    for (std::size_t i = 0; i < modules.size(); ++i) {
        if (reports[i].outcome != Outcome::Unusable && reports[i].outcome != Outcome::HostFailure) {
            usable.push_back(i);
            together.modules.push_back(modules[i]);
        }
    }
    together.module = together.modules.empty() ? options.module : together.modules.front();
    std::vector<TestReport> results;
    const auto start = std::chrono::steady_clock::now();
    std::optional<Exploration> exploration;
    if (usable.size() >= 2 && options.explore > 0) {
        results = exploreTogether(
            together,
            [&together](const TaggedSequence& sequence) {
                Options one = together;
                one.explore = 0;
                one.sequence = toString(sequence);
                return runIsolatedTogether(one);
            },
            exploration.emplace());
    } else if (usable.size() >= 2) {
        results = options.inProcess ? inThisProcess(together) : runIsolatedTogether(together);
        if (!options.sequence.empty()) {
            results = sequenceReports(
                parseTaggedSequence(options.sequence, together.modules.size()).sequence,
                std::move(results));
        }
    } else {
        results.assign(usable.size(),
                       TestReport::ended(togetherTest().name, TestStatus::Skipped,
                                         "no other module of the run can be used beside it"));
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (std::size_t i = 0, k = 0; i < modules.size(); ++i) {
        TestReport result = TestReport::ended(togetherTest().name, TestStatus::Skipped, {});
        if (k < usable.size() && usable[k] == i) {
            result = std::move(results[k++]);
        }
        result.seconds = seconds;
        RunReport& report = reports[i];
        std::vector<const ContractTest*> tests;
        std::vector<TestReport> raw = report.testReports;
        for (const auto& test : raw) {
            tests.push_back(testNamed(test.name));
        }
        tests.push_back(&togetherTest());
        raw.push_back(std::move(result));
        Options one = options;
        one.module = modules[i];
        RunReport merged = mergeReports(one, tests, raw);
        merged.seconds = report.seconds;
        merged.exploration = exploration ? exploration : std::move(report.exploration);
        merged.containment = std::move(report.containment);
        report = std::move(merged);
        if (progress != nullptr) {
            progress->testDone(togetherTest());
        }
    }
}

}  // namespace host
