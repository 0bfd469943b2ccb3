#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace host {

// How long one step of an isolated run (load, getPlugin, onLoad, ...) may take
// before the plugin is killed: far beyond what any plugin's step needs, and
// short enough that a CI job never waits a minute on a hung plugin.
inline constexpr double kDefaultStepTimeoutSeconds = 30;
// How long an isolated child may take to start, before its first record:
// its own start is plugin-host's, not a step of the plugin's, and takes
// seconds on a machine busy starting every test at once (or under wine).
// A longer step limit stands; no limit (--timeout 0) is none here either.
inline constexpr double kChildStartSeconds = 30;
// The step limits --timeout takes besides 0 (no limit): below a millisecond
// the watchdog cannot tell, and a day is beyond any step.
inline constexpr double kMinStepTimeoutSeconds = 0.001;
inline constexpr double kMaxStepTimeoutSeconds = 86400;
inline constexpr int kMaxCycles = 100000000;
// --explore without a number: enough to find a fault that takes four or five
// operations in a given order nearly every time, in a second or two.
inline constexpr int kDefaultExplore = 200;
// --jobs: more children at once than this only queue in the kernel.
inline constexpr int kMaxJobs = 1024;
inline constexpr int kMaxExplore = 10000000;
// The option that makes plugin-host the isolated child of another: only the
// parent passes it, and the command line knows it.
inline constexpr const char* kChildReportOption = "--child-report";

struct Options {
    std::filesystem::path module;                              // absolute
    std::vector<std::pair<std::string, std::string>> presets;  // --set NAME=VALUE, in order
    int cycles = 1;
    double timeoutSeconds = kDefaultStepTimeoutSeconds;  // per step; 0: wait for ever
    bool json = false;
    bool strict = false;  // warnings fail the run
    bool inProcess = false;
    std::filesystem::path junitFile;              // --junit FILE: also a JUnit XML report there
    std::filesystem::path htmlFile;               // --html FILE: also a page to look at there
    std::vector<std::string> tests;               // --test NAME, in run order; empty: every test
    std::vector<std::string> skip;                // --skip NAME: tests left out, reported skipped
    int jobs = 0;                                 // --jobs N: children at once; 0: one per core
    std::filesystem::path childReport;            // set only in the isolated child
    int explore = 0;                              // --explore N: random sequences to run; 0: none
    std::optional<std::uint64_t> seed;            // --seed S; none: a random one, which is printed
    std::string sequence;                         // --sequence OPS: the one sequence to run
    bool allowNetwork = false;                    // --allow-network: the children reach the network
    std::vector<std::filesystem::path> writable;  // --writable PATH: folders the children may write
    bool contain = false;   // --contain: no test runs unless all containment is in place
    bool together = false;  // --together: the modules side by side in one process too
    // The run's modules, for --together (absolute, in the order given); empty otherwise.
    std::vector<std::filesystem::path> modules;
};

}  // namespace host
