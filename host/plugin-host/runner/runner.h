#pragma once

#include "options.h"
#include "run_progress.h"
#include "run_report.h"

namespace host {

// Runs the chosen tests (all, without --test) on options.module and merges
// their reports into one. Each runs in a child process of its own, all at
// once; when the test that gates the others fails (the module is refused by
// the host, or crashes or hangs as it loads), the others are ended and
// reported skipped. With --in-process they run one after another in this
// process, the gate first. `progress`, if given, follows the run as it goes.
RunReport runTests(const Options& options, RunProgress* progress = nullptr);

// Keeps every child from now on inside its own test, as far as the system
// allows, and says what that is. Throws process::ProcessError when no child
// could be started at all.
ContainmentRecord containChildren(const Options& options);

}  // namespace host
