#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "catalog.h"
#include "options.h"
#include "process/process.h"
#include "progress_log.h"
#include "test_report.h"

namespace host {

// Runs one test in a child copy of this program, so that a plugin that
// crashes or hangs is reported as such, at the step where it did, instead of
// taking the host down. The child is killed when a step goes past the limit,
// or as soon as `cancelled` is set. `processMark` gets the mark of the
// child's processes (process::Termination::mark); `cycle`, the cycle the
// child has reached, as its log says while it runs.
TestReport runIsolated(const Options& options, const ContractTest& test,
                       const std::atomic<bool>* cancelled = nullptr,
                       std::string* processMark = nullptr, std::atomic<int>* cycle = nullptr);

// --together's test (options.modules side by side) in one child: one report
// per module, in the run's order, each blamed for what its steps did.
std::vector<TestReport> runIsolatedTogether(const Options& options,
                                            const std::atomic<bool>* cancelled = nullptr,
                                            std::string* processMark = nullptr);

// The child's side: reads the key its records are sealed with on standard
// input, runs the one test options.tests names and writes its progress and
// report to options.childReport for the parent to read. A child that cannot
// write it says so on standard error (RecordSeal::cannotReportLine) and
// exits with kChildCannotReport.
int runAsChild(const Options& options);
inline constexpr int kChildCannotReport = 3;

// The arguments that make a child process run one test of `options`: what
// the command line reads back into the child's options.
std::vector<std::string> childArguments(const Options& options, const std::string& test,
                                        const std::filesystem::path& reportFile);

}  // namespace host
