#pragma once

#include <optional>
#include <string>
#include <vector>

#include "run_report.h"

namespace host {

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
