#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run_report.h"

namespace host {

// One kind of warning: its name, and when it warns (--help's words).
struct Check {
    const char* name;
    const char* description;
};

// The warnings --together's test finds itself.
inline constexpr Check kSharedVariable{
    "shared-variable",
    "with --together, two modules changed the same console variable: the load order decides "
    "which value the host keeps"};
inline constexpr Check kSharedObject{
    "shared-object",
    "with --together, two modules define the same unique symbol (Linux): the process binds both "
    "to one object, which each then reads and writes"};

// Faults that do not stop the real host but that a plugin author wants to
// hear about before shipping, found in what the descriptor says.
std::vector<Warning> descriptorWarnings(const DescriptorInfo& descriptor);

// Faults the tests' own runs showed, one warning for each kind across all
// tests: the plugin printed to a stream, or left processes running.
std::vector<Warning> runWarnings(const std::vector<TestReport>& reports);

// How a state change that cannot be put back ends (a report's
// stateChanges entry): its warning says so instead of that it was put back.
inline constexpr const char* kCannotPutBack =
    "; plugin-host cannot put it back, so what ran after it in this process ran with it";

// A lifecycle's memory grew with its cycles: by at least this much in each
// half of the cycles sampled, far beyond what allocators settle by.
inline constexpr long kGrowthPerHalfKiB = 1024;
std::optional<Warning> memoryGrowthWarning(const TestReport& report);

// Under --strict, a run that passed with warnings fails on the first one.
void failOnWarnings(RunReport& report);

// The warning checks, for --help.
std::string warningsHelp();
// Each check a warning can come from, and when it warns.
std::vector<std::pair<std::string, std::string>> warningChecks();

}  // namespace host
