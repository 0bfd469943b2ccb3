#pragma once

#include <vector>

#include "catalog.h"
#include "options.h"
#include "run_report.h"
#include "test_report.h"

namespace host {

// The run report for `options` from the reports of `tests`, one each, in
// order: the descriptor from the first test that read it, and its warnings;
// the cycle's facts from the test that reports cycles when it ran, else from
// the first test that ran; the outcome from the worst ending, with the cause
// of the first test that did not pass. Under --strict a warning fails a run
// that would have passed.
RunReport mergeReports(const Options& options, const std::vector<const ContractTest*>& tests,
                       const std::vector<TestReport>& reports);

}  // namespace host
