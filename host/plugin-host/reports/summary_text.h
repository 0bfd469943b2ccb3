#pragma once

#include <ostream>
#include <vector>

#include "run_report.h"

namespace host {

// After the modules' own reports, a run of several modules ends with a table,
// one row per module (its tests passed of those that ran, its warnings, its
// seconds), and one line of totals over the run's `seconds`.
void printSummary(const std::vector<RunReport>& reports, double seconds, std::ostream& out);

}  // namespace host
