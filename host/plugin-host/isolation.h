#pragma once

#include "cycle.h"
#include "options.h"
#include "report.h"

namespace host {

// Runs the cycles in a child copy of this program, so that a plugin that
// crashes is reported as crashed, at the step where it did, instead of taking
// the host down.
Report runIsolated(const Options& options);

// The child's side: runs the cycles and writes progress and the final report
// to options.childReport for the parent to read.
int runAsChild(const Options& options);

}  // namespace host
