#pragma once

#include <string>
#include <vector>

#include "run_report.h"

namespace host {

// The run as a JUnit XML document, the report CI servers read: one test case
// per named test (failed as a failure, crashed or timed out as an error,
// skipped as skipped, each with its cause as the message), the plugin's
// output with the test that wrote it, and the warnings as the suite's
// standard error, in the lines plugin-host writes there.
std::string junitXml(const RunReport& report);
// Several modules' runs in one document: a <testsuite> each, in order, in
// one <testsuites> that adds them up over the run's `seconds`.
std::string junitXml(const std::vector<RunReport>& reports, double seconds);

// A text in the one representation of a plugin's bytes, as XML 1.0 can hold
// it: no character XML forbids, even escaped (control characters,
// U+FFFE, U+FFFF), and markup written as entities.
std::string xmlText(const std::string& text);

}  // namespace host
