#include "runner.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "catalog.h"
#include "child_ending.h"
#include "crash_watch.h"
#include "exit_watch.h"
#include "explore.h"
#include "guards/kinds.h"
#include "isolation.h"
#include "merge.h"
#include "process/containment.h"
#include "process/process.h"

namespace host {

namespace {

// In plugin-host's own process nobody watches from outside; what there is
// to watch is plugin-host's own output, kept aside while the plugin runs.
class InProcessObserver final : public StepObserver {
public:
    explicit InProcessObserver(const process::OwnOutputCapture& capture) : capture_(capture) {}
    void stepStarted(int, Step) override {}
    void descriptorRead(const DescriptorInfo&) override {}
    std::optional<std::string> takenDuring(Step step, bool look) override {
        std::string taken = capture_.taken(look);
        if (taken.empty() || reported_) {
            return std::nullopt;
        }
        reported_ = true;  // it stays taken: the step that took it is the one to blame
        return taken + " during " + toString(step);
    }

private:
    const process::OwnOutputCapture& capture_;
    bool reported_ = false;
};

// A child has no terminal of its own, but can still open the user's by its
// name: whatever the children did to it is put back once all have ended,
// and named for every test, since none can be told from the others.
void nameTerminalChanges(const RunEnd::Found& found, std::vector<TestReport>& reports) {
    for (const auto& text : found.terminal) {
        for (auto& report : reports) {
            report.stateChanges.push_back(text);
        }
    }
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TestReport runTimed(const Options& options, const ContractTest& test,
                    const std::atomic<bool>* cancelled, std::string* processMark,
                    std::atomic<int>* cycle) {
    try {
        if (options.inProcess) {
            // What the plugin prints is kept apart here too: the host's own
            // output is the host's alone.
            process::OwnOutputCapture capture;
            InProcessObserver observer(capture);
            process::adoptOrphans();
            TestReport report = runContractTest(test, options, observer);
            report.leftProcesses = !process::endStrays().empty();
            const auto [out, err] = capture.stop();
            report.output = outputOf(out, err);
            return report;
        }
        return runIsolated(options, test, cancelled, processMark, cycle);
    } catch (const std::exception& error) {
        // The host's own fault, not the plugin's: say so rather than guess.
        TestReport report = TestReport::ended(test.name, TestStatus::Failed,
                                              std::string("internal error: ") + error.what());
        report.outcome = Outcome::HostFailure;
        return report;
    }
}

// Opened once, waited for by many (the MSVC library's <future> needs the
// Concurrency Runtime, which the cross build does not have).
class Gate {
public:
    void open() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.wait(lock, [this] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
};

constexpr const char* kLeftOut = "left out by --skip";

bool leftOut(const Options& options, const ContractTest& test) {
    return std::find(options.skip.begin(), options.skip.end(), test.name) != options.skip.end();
}

// One test, with how long it took from when its child could start.
TestReport runOne(const Options& options, const ContractTest& test, RunProgress* progress,
                  const std::atomic<bool>* cancelled = nullptr,
                  std::string* processMark = nullptr) {
    if (cancelled != nullptr && *cancelled) {
        // The gate failed while this test waited for a child of its own.
        return TestReport::ended(test.name, TestStatus::Skipped, {});
    }
    const auto start = std::chrono::steady_clock::now();
    TestReport report = runTimed(options, test, cancelled, processMark,
                                 progress != nullptr ? progress->cycleOf(test) : nullptr);
    if (!options.sequence.empty()) {
        report = sequenceReport(parseSequence(options.sequence).sequence, std::move(report));
    }
    report.seconds = secondsSince(start);
    if (progress != nullptr) {
        progress->testDone(test);
    }
    return report;
}

// A module that cannot get through the gate (refused by the host, or crashing
// or hanging as it loads) would fail every test the same way: the others are
// skipped. A test --skip left out stays left out, the gate too.
bool skipAfterGate(const Options& options, const std::vector<const ContractTest*>& tests,
                   std::vector<TestReport>& reports) {
    bool failed = false;
    for (std::size_t i = 0; i < tests.size(); ++i) {
        failed = failed || (tests[i]->gatesOthers && !leftOut(options, *tests[i]) &&
                            reports[i].status != TestStatus::Passed);
    }
    for (std::size_t i = 0; i < tests.size(); ++i) {
        if (leftOut(options, *tests[i])) {
            reports[i] = TestReport::ended(tests[i]->name, TestStatus::Skipped, kLeftOut);
        } else if (failed && !tests[i]->gatesOthers) {
            reports[i] = TestReport::ended(tests[i]->name, TestStatus::Skipped, {});
        }
    }
    return failed;
}

// --explore: sequences, each run as --sequence runs one.
RunReport runExplore(const Options& options, RunProgress* progress, JobSlots* slots,
                     std::size_t turn, RunEnd& end) {
    const std::vector<const ContractTest*> tests{&exploreTest()};
    // One sequence after another: one child at a time.
    const JobSlots::Held slot(slots, turn);
    Exploration exploration;
    const auto start = std::chrono::steady_clock::now();
    TestReport report = explore(
        options,
        [&options](const Sequence& sequence) {
            Options one = options;
            one.explore = 0;
            one.sequence = toString(sequence);
            return runTimed(one, exploreTest(), nullptr, nullptr, nullptr);
        },
        exploration, progress);
    report.seconds = secondsSince(start);
    const RunEnd::Found& found = end.arrive();
    report.leftProcesses = report.leftProcesses || !found.strays.empty();
    if (progress != nullptr) {
        progress->testDone(exploreTest());
    }
    std::vector<TestReport> reports{std::move(report)};
    nameTerminalChanges(found, reports);
    RunReport run = mergeReports(options, tests, reports);
    run.exploration = exploration;
    return run;
}

RunReport runAll(const Options& options, RunProgress* progress, JobSlots* slots, std::size_t turn,
                 RunEnd* end) {
    std::optional<RunEnd> own;
    if (end == nullptr && !options.inProcess) {
        end = &own.emplace(1);
    }
    if (options.explore > 0) {
        return runExplore(options, progress, slots, turn, *end);
    }
    const std::vector<const ContractTest*> tests = chosenTests(options);
    std::vector<TestReport> reports(tests.size());
    if (options.inProcess) {
        watchPluginExits(process::pathToUtf8(options.module));
        watchPluginCrashes(process::pathToUtf8(options.module));
        // The gate first, then the rest, if it let them through.
        for (std::size_t i = 0; i < tests.size(); ++i) {
            if (tests[i]->gatesOthers && !leftOut(options, *tests[i])) {
                reports[i] = runOne(options, *tests[i], progress);
            }
        }
        if (!skipAfterGate(options, tests, reports)) {
            for (std::size_t i = 0; i < tests.size(); ++i) {
                if (!tests[i]->gatesOthers && !leftOut(options, *tests[i])) {
                    reports[i] = runOne(options, *tests[i], progress);
                }
            }
        }
        skipAfterGate(options, tests, reports);
        return mergeReports(options, tests, reports);
    }
    // Each child spends most of its time starting up, or waiting on a hung
    // plugin: as many start at once as --jobs lets, so the run costs little
    // more than its slowest, and the others are ended, or never started, as
    // soon as the gate fails. The gate takes its slot first.
    std::atomic<bool> gateFailed{false};
    Gate gateHasSlot;
    const bool gated = std::any_of(tests.begin(), tests.end(), [&](const ContractTest* test) {
        return test->gatesOthers && !leftOut(options, *test);
    });
    if (!gated) {
        gateHasSlot.open();
    }
    std::vector<std::thread> children;
    std::vector<std::string> marks(tests.size());
    for (std::size_t i = 0; i < tests.size(); ++i) {
        if (leftOut(options, *tests[i])) {
            continue;
        }
        children.emplace_back([&, i] {
            const bool gate = tests[i]->gatesOthers;
            if (!gate) {
                gateHasSlot.wait();
            }
            const JobSlots::Held slot(slots, turn + i);
            if (gate) {
                gateHasSlot.open();
            }
            reports[i] =
                runOne(options, *tests[i], progress, gate ? nullptr : &gateFailed, &marks[i]);
            if (gate && reports[i].status != TestStatus::Passed) {
                gateFailed = true;
            }
        });
    }
    for (auto& child : children) {
        child.join();
    }
    // What left its test's process group or session came to plugin-host; once
    // every child of the run has ended, one look finds it all, and its mark
    // says whose it was (one with no mark may be any test's).
    const RunEnd::Found& found = end->arrive();
    const std::vector<std::string>& strays = found.strays;
    const bool unmarked = std::find(strays.begin(), strays.end(), "") != strays.end();
    for (std::size_t i = 0; i < tests.size(); ++i) {
        if (unmarked || (!marks[i].empty() &&
                         std::find(strays.begin(), strays.end(), marks[i]) != strays.end())) {
            reports[i].leftProcesses = true;
        }
    }
    skipAfterGate(options, tests, reports);
    nameTerminalChanges(found, reports);
    return mergeReports(options, tests, reports);
}

}  // namespace

RunReport runTests(const Options& options, RunProgress* progress, JobSlots* slots, std::size_t turn,
                   RunEnd* end) {
    const auto start = std::chrono::steady_clock::now();
    std::optional<ContainmentRecord> containment;
    if (!options.inProcess) {
        try {
            containment = containChildren(options);
        } catch (...) {
            if (end != nullptr) {
                end->arrive();  // the other modules' children wait for none of this one's
            }
            throw;
        }
    }
    std::optional<JobSlots> own;
    if (slots == nullptr && !options.inProcess) {
        slots = &own.emplace(options.jobs > 0 ? options.jobs : defaultJobs());
    }
    RunReport run = runAll(options, progress, slots, turn, end);
    run.seconds = secondsSince(start);
    run.containment = std::move(containment);
    return run;
}

ContainmentRecord containChildren(const Options& options) {
    process::Containment containment;
    containment.network = options.allowNetwork;
    containment.writable = options.writable;
    const process::ContainmentReport report = process::contain(containment);
    ContainmentRecord record{report.inPlace, report.missing, report.why, options.allowNetwork, {}};
    for (const auto& folder : options.writable) {
        record.writable.push_back(process::pathToUtf8(folder));
    }
    return record;
}

}  // namespace host
