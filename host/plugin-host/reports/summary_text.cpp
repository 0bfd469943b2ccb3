#include "summary_text.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "text_escape.h"

namespace host {

namespace {

struct Row {
    std::string module, tests, warnings, seconds;
};

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

std::string plural(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string padded(const std::string& text, std::size_t width) {
    return text + std::string(width - text.size() + 2, ' ');
}

}  // namespace

void printSummary(const std::vector<RunReport>& reports, double seconds, std::ostream& out) {
    std::vector<Row> rows{{"module", "tests", "warnings", "seconds"}};
    std::size_t passed = 0, ran = 0, warnings = 0, modulesPassed = 0;
    for (const auto& report : reports) {
        // A test that never ran (the gate failed, or --skip) is not counted.
        const auto count = [&](bool (*pick)(const TestResult&)) {
            return static_cast<std::size_t>(
                std::count_if(report.tests.begin(), report.tests.end(), pick));
        };
        const std::size_t ok =
            count([](const TestResult& t) { return t.status == TestStatus::Passed; });
        const std::size_t run =
            count([](const TestResult& t) { return t.status != TestStatus::Skipped; });
        passed += ok;
        ran += run;
        warnings += report.warnings.size();
        modulesPassed += report.outcome == Outcome::Passed ? 1 : 0;
        rows.push_back({escapedText(report.module),
                        std::to_string(ok) + " of " + std::to_string(run),
                        std::to_string(report.warnings.size()), secondsText(report.seconds)});
    }
    std::size_t widths[3] = {0, 0, 0};
    for (const auto& row : rows) {
        widths[0] = std::max(widths[0], row.module.size());
        widths[1] = std::max(widths[1], row.tests.size());
        widths[2] = std::max(widths[2], row.warnings.size());
    }
    out << '\n';
    for (const auto& row : rows) {
        out << padded(row.module, widths[0]) << padded(row.tests, widths[1])
            << padded(row.warnings, widths[2]) << row.seconds << '\n';
    }
    out << plural(reports.size(), "module", "modules") << ": " << modulesPassed << " passed, "
        << reports.size() - modulesPassed << " failed; " << passed << " of "
        << plural(ran, "test", "tests") << " passed, " << plural(warnings, "warning", "warnings")
        << ", " << secondsText(seconds) << " s\n";
}

}  // namespace host
