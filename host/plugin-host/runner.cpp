#include "runner.h"

#include <algorithm>
#include <exception>
#include <thread>

#include "contract/catalog.h"
#include "isolation.h"
#include "merge.h"
#include "process/process.h"

namespace host {

namespace {

class SilentObserver final : public StepObserver {
public:
    void stepStarted(int, Step) override {}
    void descriptorRead(const DescriptorInfo&) override {}
};

TestReport runOne(const Options& options, const ContractTest& test) {
    try {
        if (options.inProcess) {
            // What the plugin prints is kept apart here too: the host's own
            // output is the host's alone.
            SilentObserver observer;
            process::OwnOutputCapture capture;
            TestReport report = runContractTest(test, options, observer);
            const auto [out, err] = capture.stop();
            for (const auto& [stream, captured] :
                 {std::pair{"standard output", out}, std::pair{"standard error", err}}) {
                if (captured.bytes > 0) {
                    report.output.push_back(StreamOutput{stream, captured.bytes, captured.head});
                }
            }
            return report;
        }
        return runIsolated(options, test);
    } catch (const std::exception& error) {
        // The host's own fault, not the plugin's: say so rather than guess.
        TestReport report = TestReport::ended(test.name, TestStatus::Failed,
                                              std::string("internal error: ") + error.what());
        report.outcome = Outcome::Unusable;
        return report;
    }
}

}  // namespace

RunReport runTests(const Options& options) {
    std::vector<const ContractTest*> tests;
    for (const auto& test : contractTests()) {
        if (options.tests.empty() || std::find(options.tests.begin(), options.tests.end(),
                                               test.name) != options.tests.end()) {
            tests.push_back(&test);
        }
    }
    std::vector<TestReport> reports(tests.size());
    std::vector<std::size_t> rest;
    for (std::size_t i = 0; i < tests.size(); ++i) {
        if (!tests[i]->gatesOthers) {
            rest.push_back(i);
            continue;
        }
        reports[i] = runOne(options, *tests[i]);
        // A module that cannot get through loading would fail every test the
        // same way, and a hang would cost each of them the step limit again.
        if (reports[i].status != TestStatus::Passed) {
            for (std::size_t j = 0; j < tests.size(); ++j) {
                if (j > i || !tests[j]->gatesOthers) {
                    reports[j] = TestReport::ended(tests[j]->name, TestStatus::Skipped, {});
                }
            }
            return mergeReports(options, tests, reports);
        }
    }
    if (options.inProcess) {
        for (const std::size_t i : rest) {
            reports[i] = runOne(options, *tests[i]);
        }
    } else {
        // Each child spends most of its time starting up, or waiting on a
        // hung plugin; running them all at once costs only the slowest.
        std::vector<std::thread> children;
        for (const std::size_t i : rest) {
            children.emplace_back([&, i] { reports[i] = runOne(options, *tests[i]); });
        }
        for (auto& child : children) {
            child.join();
        }
    }
    return mergeReports(options, tests, reports);
}

}  // namespace host
