#pragma once

#include <ostream>

#include "run_report.h"

namespace host {

// The human-readable report: descriptor, changes and steps on `out`, ending
// with one summary line; a failure's one line goes to `err` instead.
void printText(const RunReport& report, std::ostream& out, std::ostream& err);

// The one line that names the module and why it did not pass.
std::string failureLine(const std::string& module, const std::string& cause);

// The one line that names the module and a warning's check and text.
std::string warningLine(const std::string& module, const Warning& warning);

}  // namespace host
