#pragma once

#include "options.h"
#include "run_report.h"

namespace host {

// Runs the chosen tests (all, without --test) on options.module and merges
// their reports into one. Each runs in a child process of its own, all at
// once, after the test that gates the others: a module that fails that one
// (refused by the host, or crashing or hanging as it loads) gets no further,
// and its other tests are skipped. With --in-process they run one after
// another in this process.
RunReport runTests(const Options& options);

}  // namespace host
