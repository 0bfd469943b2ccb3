#include "html_report.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "junit_report.h"
#include "test_report.h"

namespace host {

namespace {

constexpr const char* kStyle =
    "body{font-family:sans-serif;margin:2em;color:#222}"
    "table{border-collapse:collapse;margin:1em 0}"
    "th,td{border:1px solid #ccc;padding:.3em .6em;text-align:left;vertical-align:top}"
    "td.passed{background:#d9f2d9}td.failed,td.crashed,td.timed-out{background:#f8d0d0}"
    "td.skipped{background:#eee;color:#666}tr.cause td{border-top:none;font-size:.9em}"
    "code{white-space:pre-wrap;word-break:break-all}svg{border:1px solid #ccc}";

std::string statusClass(TestStatus status) {
    std::string name = toString(status);
    std::replace(name.begin(), name.end(), ' ', '-');
    return name;
}

std::string number(double value, const char* format) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// A leak is a line that climbs: resident memory at each sampled cycle.
void memoryChart(std::ostringstream& html, const std::vector<MemorySample>& memory) {
    if (memory.size() < 2) {
        return;
    }
    constexpr double kWidth = 480, kHeight = 160, kMargin = 8;
    long low = memory.front().residentKiB, high = low;
    for (const auto& sample : memory) {
        low = std::min(low, sample.residentKiB);
        high = std::max(high, sample.residentKiB);
    }
    const double first = memory.front().cycle, last = memory.back().cycle;
    const double spanX = last > first ? last - first : 1;
    const double spanY = high > low ? static_cast<double>(high - low) : 1;
    std::string points;
    for (const auto& sample : memory) {
        const double x = kMargin + (sample.cycle - first) / spanX * (kWidth - 2 * kMargin);
        const double y =
            kHeight - kMargin - (sample.residentKiB - low) / spanY * (kHeight - 2 * kMargin);
        points += number(x, "%.1f") + "," + number(y, "%.1f") + " ";
    }
    html << "<p>resident memory over cycles " << memory.front().cycle << " to "
         << memory.back().cycle << ": " << low << " to " << high << " KiB</p>\n"
         << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\""
         << kHeight << "\" role=\"img\"><title>resident KiB by cycle</title>"
         << "<polyline fill=\"none\" stroke=\"#c33\" stroke-width=\"2\" points=\"" << points
         << "\"/></svg>\n";
}

void moduleSection(std::ostringstream& html, const RunReport& report) {
    html << "<section class=\"module\">\n<h2><code>" << htmlText(report.module)
         << "</code></h2>\n<p class=\"result\">" << toString(report.outcome)
         << (report.cause.empty() ? "" : ": <code>" + htmlText(report.cause) + "</code>")
         << "</p>\n";
    if (report.descriptor) {
        html << "<p>" << htmlText(report.descriptor->displayName) << " ("
             << htmlText(report.descriptor->classLabel) << ", version "
             << htmlText(report.descriptor->versionText) << ")</p>\n";
    }
    if (!report.warnings.empty()) {
        html << "<h3>warnings</h3>\n<ul class=\"warnings\">\n";
        for (const auto& warning : report.warnings) {
            html << "<li>[" << htmlText(warning.check) << "] <code>" << htmlText(warning.text)
                 << "</code></li>\n";
        }
        html << "</ul>\n";
    }
    const auto changesTable = [&html](const char* title, const std::vector<Change>& changes) {
        if (changes.empty()) {
            return;
        }
        html << "<h3>" << title << "</h3>\n<table class=\"changes\">\n"
             << "<tr><th>variable</th><th>before</th><th>after</th></tr>\n";
        for (const auto& change : changes) {
            html << "<tr><td><code>" << htmlText(change.name) << "</code></td><td><code>\""
                 << htmlText(change.before) << "\"</code></td><td><code>\""
                 << htmlText(change.after) << "\"</code></td></tr>\n";
        }
        html << "</table>\n";
    };
    changesTable("changed variables", report.changes);
    if (report.togetherChanges) {
        changesTable("changed variables beside the others (--together)", *report.togetherChanges);
    }
    if (report.cyclesRequested > 1) {
        memoryChart(html, report.memory);
    }
    html << "</section>\n";
}

}  // namespace

std::string htmlText(const std::string& text) {
    // HTML holds what XML holds: the same one representation, markup as entities.
    return xmlText(text);
}

std::string htmlReport(const std::vector<RunReport>& reports, double seconds) {
    // The columns: every test any module ran or left out, in the run's order.
    std::vector<std::string> tests;
    for (const auto& report : reports) {
        for (const auto& test : report.tests) {
            if (std::find(tests.begin(), tests.end(), test.name) == tests.end()) {
                tests.push_back(test.name);
            }
        }
    }
    std::size_t passed = 0;
    for (const auto& report : reports) {
        passed += report.outcome == Outcome::Passed ? 1 : 0;
    }
    std::ostringstream html;
    html << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         // Nothing from the network and no script, whatever a plugin wrote.
         << "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
            "style-src 'unsafe-inline'\">\n"
         << "<title>plugin-host report</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
         << "<h1>plugin-host report</h1>\n<p id=\"totals\">" << reports.size()
         << (reports.size() == 1 ? " module: " : " modules: ") << passed << " passed, "
         << reports.size() - passed << " failed, " << number(seconds, "%.2f") << " s</p>\n"
         << "<table id=\"summary\">\n<tr><th>module</th>";
    for (const auto& name : tests) {
        html << "<th>" << htmlText(name) << "</th>";
    }
    html << "<th>warnings</th><th>seconds</th></tr>\n";
    for (const auto& report : reports) {
        html << "<tr class=\"module\"><td><code>" << htmlText(report.module) << "</code></td>";
        std::string causes;
        for (const auto& name : tests) {
            const auto found =
                std::find_if(report.tests.begin(), report.tests.end(),
                             [&](const TestResult& test) { return test.name == name; });
            if (found == report.tests.end()) {
                html << "<td></td>";
                continue;
            }
            const std::string cause = htmlText(found->cause);
            html << "<td class=\"" << statusClass(found->status) << "\""
                 << (cause.empty() ? "" : " title=\"" + cause + "\"") << ">"
                 << toString(found->status) << "</td>";
            if (!cause.empty()) {
                causes += "<div>" + htmlText(name) + ": <code>" + cause + "</code></div>";
            }
        }
        html << "<td>" << report.warnings.size() << "</td><td>" << number(report.seconds, "%.2f")
             << "</td></tr>\n";
        if (!causes.empty()) {
            html << "<tr class=\"cause\"><td colspan=\"" << tests.size() + 3 << "\">" << causes
                 << "</td></tr>\n";
        }
    }
    html << "</table>\n";
    for (const auto& report : reports) {
        moduleSection(html, report);
    }
    html << "</body>\n</html>\n";
    return html.str();
}

}  // namespace host
