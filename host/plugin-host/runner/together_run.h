#pragma once

#include <filesystem>
#include <vector>

#include "options.h"
#include "run_progress.h"
#include "run_report.h"

namespace host {

// --together, once every module's own tests have run: the modules the host
// can use, side by side in one child (or in this process, --in-process),
// and each module's result merged into its report as the test "together".
// A module the host cannot use has it skipped, as its other tests.
void addTogether(const Options& options, const std::vector<std::filesystem::path>& modules,
                 std::vector<RunReport>& reports, RunProgress* progress = nullptr);

}  // namespace host
