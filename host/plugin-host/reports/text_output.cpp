#include "text_output.h"

#include <algorithm>
#include <filesystem>

#include "process/process.h"
#include "text_escape.h"

namespace host {

namespace {
// Values are quoted, so that empty and odd values are visible, and escaped,
// so that none of them can act on the terminal or end the line.
std::string quoted(const std::string& text) {
    return "\"" + escapedText(text) + "\"";
}
}  // namespace

std::string failureLine(const std::string& module, const std::string& cause) {
    return "plugin-host: " + escapedText(module) + ": " + escapedText(cause);
}

std::string warningLine(const std::string& module, const Warning& warning) {
    return "plugin-host: " + escapedText(module) + ": warning [" + warning.check +
           "]: " + escapedText(warning.text);
}

void printText(const RunReport& report, std::ostream& out, std::ostream& err) {
    // A module that never loaded has nothing to show but the reason.
    if (report.step(Step::Load) == StepStatus::Failed) {
        err << failureLine(report.module, report.cause) << '\n';
        return;
    }
    out << "module      " << escapedText(report.module) << '\n';
    if (report.descriptor) {
        const DescriptorInfo& d = *report.descriptor;
        out << "descriptor  sdk level " << d.sdkLevel << ", kind " << d.kindCode << '\n'
            << "  class     " << quoted(d.classLabel) << '\n'
            << "  name      " << quoted(d.displayName) << '\n'
            << "  version   " << quoted(d.versionText) << '\n'
            << "  source    " << quoted(d.sourcePath) << '\n';
    }
    const auto printChanges = [&out](const char* who, const std::vector<Change>& changes) {
        out << who << " changed " << changes.size()
            << (changes.size() == 1 ? " variable" : " variables") << (changes.empty() ? "" : ":")
            << '\n';
        for (const auto& change : changes) {
            out << "  " << escapedText(change.name) << ": " << quoted(change.before) << " -> "
                << quoted(change.after) << '\n';
        }
    };
    if (report.step(Step::OnLoad) == StepStatus::Passed || !report.changes.empty()) {
        printChanges("onLoad", report.changes);
    }
    if (report.togetherChanges) {
        printChanges("together", *report.togetherChanges);
    }
    if (report.exploration) {
        const Exploration& e = *report.exploration;
        out << "explore     " << e.ran << " of " << e.sequences
            << (e.sequences == 1 ? " sequence" : " sequences") << " from --seed " << e.seed;
        if (!e.failing.empty()) {
            out << "; the last failed, shrunk to --sequence " << escapedText(e.failing);
        }
        out << '\n';
    } else if (std::any_of(report.steps.begin(), report.steps.end(),
                           [](StepStatus s) { return s != StepStatus::NotRun; })) {
        out << "steps      ";
        for (std::size_t i = 0; i < kStepCount; ++i) {
            if (report.steps[i] != StepStatus::NotRun) {
                out << ' ' << toString(static_cast<Step>(i)) << ' ' << toString(report.steps[i]);
            }
        }
        out << '\n';
    }
    if (report.peakResidentKiB > 0) {
        out << "memory      peak " << report.peakResidentKiB << " KiB resident\n";
    }
    std::size_t nameWidth = 0;
    for (const auto& test : report.tests) {
        nameWidth = std::max(nameWidth, test.name.size());
    }
    std::size_t passed = 0;
    std::size_t ran = 0;  // a test --skip left out is not counted
    for (const auto& test : report.tests) {
        passed += test.status == TestStatus::Passed ? 1 : 0;
        ran += test.status == TestStatus::Skipped ? 0 : 1;
        out << "test        " << test.name << std::string(nameWidth + 2 - test.name.size(), ' ')
            << toString(test.status) << (test.cause.empty() ? "" : ": " + escapedText(test.cause))
            << '\n';
    }
    out.flush();

    const std::string name = process::pathToUtf8(process::pathFromUtf8(report.module).filename());
    if (report.outcome != Outcome::Passed) {
        err << failureLine(report.module, report.cause) << '\n';
        return;
    }
    out << escapedText(name) << ": passed " << passed << " of " << ran
        << (ran == 1 ? " test" : " tests");
    if (report.exploration && report.exploration->failing.empty()) {
        const int ran = report.exploration->ran;
        out << (ran == 1 ? "; its one sequence"
                         : "; every one of " + std::to_string(ran) + " sequences")
            << " held to the model";
    }
    if (!report.cycleTest.empty()) {
        out << "; " << report.cycleTest << " passed " << report.cyclesPassed << " of "
            << report.cyclesRequested << (report.cyclesRequested == 1 ? " cycle" : " cycles")
            << ", handles released, module unloaded";
    }
    if (!report.warnings.empty()) {
        out << ", " << report.warnings.size()
            << (report.warnings.size() == 1 ? " warning" : " warnings");
    }
    out << '\n';
}

}  // namespace host
