#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "options.h"
#include "session.h"
#include "test_report.h"

namespace host {

// --together: the run's modules (options.modules) held side by side in this
// process, as the host holds a plugin folder: each loaded in turn, the first
// unloaded alone and loaded again while the others stay, then all unloaded
// in the reverse of the order they were last loaded in; --cycles times.
// One report per module, in the run's order, each named "together".
std::vector<TestReport> runTogether(const Options& options, StepObserver& observer);

// How the together test names a module in its causes: its file's name.
std::string togetherName(const std::filesystem::path& module);

}  // namespace host
