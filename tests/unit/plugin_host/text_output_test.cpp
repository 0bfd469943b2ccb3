#include <gtest/gtest.h>

#include <sstream>

#include "text_output.h"

namespace {

using namespace host;

// The changes line of the text report, or "" when there is none.
std::string changesLine(StepStatus onLoad, std::vector<Change> changes) {
    RunReport report;
    report.module = "/m.so";
    report.steps[static_cast<std::size_t>(Step::Load)] = StepStatus::Passed;
    report.steps[static_cast<std::size_t>(Step::OnLoad)] = onLoad;
    report.steps[static_cast<std::size_t>(Step::OnUnload)] = StepStatus::Passed;
    report.changes = std::move(changes);
    std::ostringstream out;
    std::ostringstream err;
    printText(report, out, err);
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("onLoad changed", 0) == 0) {
            return line;
        }
    }
    return "";
}

// What onLoad changed shows when it passed, even if it changed nothing, or
// when it changed something before it failed; not when it never got there.
TEST(TextOutput, TheChangesLineShowsWhenOnLoadPassedOrChangedSomething) {
    const Change one{"a", "x", "y"};
    EXPECT_EQ(changesLine(StepStatus::Passed, {}), "onLoad changed 0 variables");
    EXPECT_EQ(changesLine(StepStatus::Passed, {one, one}), "onLoad changed 2 variables:");
    EXPECT_EQ(changesLine(StepStatus::Failed, {one}), "onLoad changed 1 variable:");
    EXPECT_EQ(changesLine(StepStatus::Failed, {}), "");
    EXPECT_EQ(changesLine(StepStatus::NotRun, {}), "");
}

}  // namespace
