#include "run_progress.h"

#include <algorithm>

namespace host {

std::vector<const ContractTest*> chosenTests(const Options& options) {
    if (options.explore > 0 || !options.sequence.empty()) {
        return {&exploreTest()};
    }
    std::vector<const ContractTest*> tests;
    for (const auto& test : contractTests()) {
        if (options.tests.empty() || std::find(options.tests.begin(), options.tests.end(),
                                               test.name) != options.tests.end()) {
            tests.push_back(&test);
        }
    }
    return tests;
}

RunProgress::RunProgress(const Options& options, std::size_t modules)
    : modules_(modules), cycles_(options.cycles) {
    const bool onlyTogether =
        options.together && (options.explore > 0 || !options.sequence.empty());
    for (const ContractTest* test :
         onlyTogether ? std::vector<const ContractTest*>{} : chosenTests(options)) {
        if (std::find(options.skip.begin(), options.skip.end(), test->name) != options.skip.end()) {
            continue;  // never runs
        }
        tests_ += modules;
        // Several modules' cycles run side by side: one count would mix them.
        if (test->reportsCycles && cycles_ > 1 && modules == 1) {
            cycleTest_ = test->name;
        }
    }
    if (options.together) {
        tests_ += modules;  // each module's result of the one together test
    }
    if (options.explore > 0 && modules == 1 && !options.together) {
        cycleTest_ = exploreTest().name;
        cycles_ = options.explore;
        unit_ = "sequence";
    }
}

RunProgress::Snapshot RunProgress::snapshot() const {
    Snapshot snapshot;
    snapshot.testsDone = testsDone_.load(std::memory_order_relaxed);
    snapshot.tests = tests_;
    snapshot.modulesDone = modulesDone_.load(std::memory_order_relaxed);
    snapshot.modules = modules_;
    if (!cycleTest_.empty() && !cycleTestDone_.load(std::memory_order_relaxed)) {
        snapshot.cycleTest = cycleTest_;
        snapshot.cycle = cycle_.load(std::memory_order_relaxed);
        snapshot.cycles = cycles_;
        snapshot.unit = unit_;
    }
    return snapshot;
}

void RunProgress::testDone(const ContractTest& test) {
    if (test.name == cycleTest_) {
        cycleTestDone_.store(true, std::memory_order_relaxed);
    }
    testsDone_.fetch_add(1, std::memory_order_relaxed);
}

void RunProgress::moduleDone() {
    modulesDone_.fetch_add(1, std::memory_order_relaxed);
}

std::atomic<int>* RunProgress::cycleOf(const ContractTest& test) {
    return test.name == cycleTest_ ? &cycle_ : nullptr;
}

}  // namespace host
