#pragma once

#include <string>
#include <vector>

#include "run_report.h"

namespace host {

// The run as one self-contained HTML page (--html), for a person to look
// at: a table of modules by tests, each cell's status at a glance and its
// cause on hover and in a row below; each module's warnings and changed
// variables; and, for a run of several cycles, its resident memory over the
// cycles as an inline SVG chart. Nothing is loaded from anywhere and nothing
// runs: the page allows no script, and every text of the plugin's is
// escaped.
std::string htmlReport(const std::vector<RunReport>& reports, double seconds);

// A text as HTML shows it: as the JUnit report's XML holds it (escaped as
// the text report escapes it, markup written as entities).
std::string htmlText(const std::string& text);

}  // namespace host
