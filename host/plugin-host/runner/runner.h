#pragma once

#include <cstddef>

#include "job_slots.h"
#include "options.h"
#include "run_end.h"
#include "run_progress.h"
#include "run_report.h"

namespace host {

// Runs the chosen tests (all, without --test, less --skip's) on
// options.module and merges their reports into one. Each runs in a child
// process of its own, as many at once as `slots` let (without them, as
// options.jobs says), the gate first, in the run's order from `turn` on;
// when the test that gates the others fails (the module is refused by the
// host, or crashes or hangs as it loads), the others are ended, or never
// started, and reported skipped. With --in-process they run one after
// another in this process, the gate first. `progress`, if given, follows
// the run as it goes. `end`, when the run has other modules, is where their
// children's leftovers are looked at together; it must be arrived at.
RunReport runTests(const Options& options, RunProgress* progress = nullptr,
                   JobSlots* slots = nullptr, std::size_t turn = 0, RunEnd* end = nullptr);

// Keeps every child from now on inside its own test, as far as the system
// allows, and says what that is. Throws process::ProcessError when no child
// could be started at all.
ContainmentRecord containChildren(const Options& options);

}  // namespace host
