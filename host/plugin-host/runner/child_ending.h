#pragma once

#include <filesystem>
#include <vector>

#include "catalog.h"
#include "options.h"
#include "process/process.h"
#include "progress_log.h"
#include "test_report.h"

namespace host {

// The report of one test that ran in a child: what the child's log says, held
// to how the child's process then ended. A pass counts only when the child
// also exited with the code its report stands for; a log the plugin wrote
// into counts for nothing; a child that could not write its log in
// `folder`, and said so on standard error in its sealed line (which the
// capture sought: Captured::found), is plugin-host's own trouble.
TestReport judgeChild(const Options& options, const ContractTest& test,
                      const ChildProgress& progress, const process::Termination& termination,
                      const std::filesystem::path& folder);

// The reports of --together's child, one per module of options.modules: a
// crash or a hang is the module's whose step was under way, and its cause
// names what the other modules' steps had left in the process; a module
// whose own steps left a failure fails with it; the others, which could not
// run their steps to the end, are skipped, with the reason.
std::vector<TestReport> judgeTogether(const Options& options, const ChildProgress& progress,
                                      const process::Termination& termination,
                                      const std::filesystem::path& folder);

// What the plugin wrote on standard output and standard error, as a report
// holds it: only the streams it wrote on, whether a child's or plugin-host's
// own, kept aside for an in-process run.
std::vector<StreamOutput> outputOf(const process::Captured& out, const process::Captured& err);

}  // namespace host
