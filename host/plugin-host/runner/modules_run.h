#pragma once

#include <filesystem>
#include <vector>

#include "options.h"
#include "run_progress.h"
#include "run_report.h"

namespace host {

// Runs `modules`, each as runTests runs options.module alone, and gives
// their reports in the order of `modules`. Isolated, they run side by side,
// their children together at most --jobs at once, the first-named modules'
// first; with --in-process, one after another.
std::vector<RunReport> runModules(const Options& options,
                                  const std::vector<std::filesystem::path>& modules,
                                  RunProgress* progress = nullptr);

}  // namespace host
