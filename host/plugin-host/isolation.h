#pragma once

#include "contract_tests.h"
#include "options.h"
#include "report.h"

namespace host {

// Runs one test in a child copy of this program, so that a plugin that
// crashes or hangs is reported as such, at the step where it did, instead of
// taking the host down. The child is killed when a step goes past the limit.
Report runIsolated(const Options& options, const ContractTest& test);

// The child's side: runs the one test options.tests names and writes its
// progress and report to options.childReport for the parent to read.
int runAsChild(const Options& options);

}  // namespace host
