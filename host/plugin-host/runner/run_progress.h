#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "catalog.h"
#include "options.h"

namespace host {

// The tests a run of `options` runs, in order: all, or those --test names;
// for --explore and --sequence, the one test of sequences.
std::vector<const ContractTest*> chosenTests(const Options& options);

// How far a run has come, for whoever shows it while it runs: the run's
// threads store and another thread reads, and neither waits on the other.
class RunProgress {
public:
    // A run of `modules` modules, each run as `options` says.
    explicit RunProgress(const Options& options, std::size_t modules = 1);

    struct Snapshot {
        std::size_t testsDone = 0;
        std::size_t tests = 0;
        std::size_t modulesDone = 0;
        std::size_t modules = 1;
        // The test that runs the cycles, while it runs more than one in a run
        // of one module; empty when there is none or it has ended.
        std::string cycleTest;
        int cycle = 0;  // the cycle it has reached; 0 before the first
        int cycles = 0;
        const char* unit = "cycle";  // what it counts: the lifecycle's cycles, or sequences
    };
    Snapshot snapshot() const;

    void testDone(const ContractTest& test);
    void moduleDone();
    // Where `test` stores the cycle it reaches: only the test that runs the
    // cycles has one, and only when there are more than one. Only an
    // isolated child's cycles are followed: nothing shows those of a run in
    // plugin-host's own process.
    std::atomic<int>* cycleOf(const ContractTest& test);

private:
    std::size_t tests_ = 0;
    std::size_t modules_;
    std::atomic<std::size_t> modulesDone_{0};
    std::string cycleTest_;
    int cycles_;
    const char* unit_ = "cycle";
    std::atomic<std::size_t> testsDone_{0};
    std::atomic<bool> cycleTestDone_{false};
    std::atomic<int> cycle_{0};
};

}  // namespace host
