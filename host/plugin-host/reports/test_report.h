#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "steps.h"

namespace host {

// How one named test of the module contract ended.
enum class TestStatus { Passed, Failed, Crashed, TimedOut, Skipped };

const char* toString(TestStatus status) noexcept;
std::optional<TestStatus> testStatusFromString(const std::string& name) noexcept;

// How a run ended; the values are the program's exit codes. HostFailure is
// plugin-host's own trouble (a report it cannot write, a child it cannot
// start), never the plugin's.
enum class Outcome { Passed = 0, Misbehaved = 1, Unusable = 2, HostFailure = 3 };

const char* toString(Outcome outcome) noexcept;

// What the descriptor says, as the host read it.
struct DescriptorInfo {
    int sdkLevel = 0;
    std::string sourcePath;
    std::string classLabel;
    std::string displayName;
    std::string versionText;
    int kindCode = 0;
};

// A console variable whose value a plugin operation changed.
struct Change {
    std::string name;
    std::string before;
    std::string after;
};

// What a plugin wrote to one of the standard streams while a test ran.
struct StreamOutput {
    std::string stream;  // "standard output" or "standard error"
    std::uintmax_t bytes = 0;
    std::string head;  // the first bytes, bounded
};

// The process's memory after a lifecycle cycle.
struct MemorySample {
    int cycle = 0;
    long residentKiB = 0;
    long allocatedKiB = 0;  // private memory it has asked for, touched or not
};

// A fault that does not stop the host: `check` names what found it.
struct Warning {
    std::string check;
    std::string text;
};

// What one module of a --together run left in the process after one of its
// steps, said as the step ends: a crash of the process later cannot lose it.
struct LeftBehind {
    std::size_t module = 0;  // in the run's order
    Step step = Step::Load;
    bool failure = false;  // a crash in waiting, or only a change
    std::string text;      // "left floating-point traps enabled: ..."
    int cycle = 0;         // the cycle, or the operation of a sequence, its step was recorded under
};

// One named test's report: how it ended and what it saw of the module. It is
// written by whichever process ran the test, and read by the one that merges.
struct TestReport {
    std::string name;
    TestStatus status = TestStatus::Passed;
    std::string cause;                  // why it did not pass; empty when it did
    Outcome outcome = Outcome::Passed;  // what its ending means for the run
    std::optional<DescriptorInfo> descriptor;
    std::vector<Change> changes;  // made by the first cycle's onLoad
    StepStatuses steps{};         // of the last cycle run
    int cyclesPassed = 0;
    bool released = false;
    bool unloaded = false;
    long peakResidentKiB = 0;          // of the process that ran the plugin
    std::vector<StreamOutput> output;  // what the plugin printed, if anything
    bool leftProcesses = false;        // processes it started outlived the test
    // Process-wide state the plugin changed, put back; each is a warning.
    std::vector<std::string> stateChanges;
    // Found by the test itself (--together's shared variables and objects).
    std::vector<Warning> warnings;
    // Descriptors (handles on Windows) open before the first load and after
    // the test; 0 when unknown.
    long descriptorsBefore = 0;
    long descriptorsAfter = 0;
    std::vector<MemorySample> memory;  // at the cycles memorySampleCycles names
    double seconds = 0;                // from its start to its judgement; set by the runner

    StepStatus& step(Step s) { return steps[static_cast<std::size_t>(s)]; }
    StepStatus step(Step s) const { return steps[static_cast<std::size_t>(s)]; }

    // The one way to make the report of a test that ended other than by
    // passing on its own: failed, crashed, timed out or skipped. The outcome
    // follows from the status (a skipped test has not misbehaved); the
    // caller marks a module the host refuses as unusable.
    static TestReport ended(std::string name, TestStatus status, std::string cause);

    // Fails the test with `cause`, unless it has failed already: the first
    // failure is the one a plugin author needs to see.
    void fail(std::string why);
};

}  // namespace host
