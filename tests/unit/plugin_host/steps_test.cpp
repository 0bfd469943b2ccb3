#include <gtest/gtest.h>

#include "steps.h"
#include "test_report.h"

namespace {

using namespace host;

// These names appear in causes, the text output and the JSON report.
TEST(Steps, AreNamedForTheHostsOperationsInCycleOrder) {
    const std::vector<std::string> names{"load",    "descriptor", "getPlugin",
                                         "onLoad",  "onUnload",   "deleteMe",
                                         "release", "unload",     "exit"};
    ASSERT_EQ(names.size(), kStepCount);
    for (std::size_t i = 0; i < kStepCount; ++i) {
        const auto step = static_cast<Step>(i);
        EXPECT_EQ(toString(step), names[i]);
        EXPECT_EQ(stepFromString(names[i]), step);
    }
    EXPECT_EQ(stepFromString("atexit"), std::nullopt);
    EXPECT_EQ(stepFromString("Load"), std::nullopt);
    EXPECT_EQ(stepFromString(""), std::nullopt);
}

TEST(Steps, StatusesAndTestStatusesReadBackFromTheirNames) {
    const std::vector<std::string> steps{"not run", "passed", "failed", "crashed", "timed out"};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(toString(static_cast<StepStatus>(i)), steps[i]);
        EXPECT_EQ(stepStatusFromString(steps[i]), static_cast<StepStatus>(i));
    }
    EXPECT_EQ(stepStatusFromString("skipped"), std::nullopt);
    const std::vector<std::string> tests{"passed", "failed", "crashed", "timed out", "skipped"};
    for (std::size_t i = 0; i < tests.size(); ++i) {
        EXPECT_EQ(toString(static_cast<TestStatus>(i)), tests[i]);
        EXPECT_EQ(testStatusFromString(tests[i]), static_cast<TestStatus>(i));
    }
    EXPECT_EQ(testStatusFromString("not run"), std::nullopt);
    EXPECT_STREQ(toString(Outcome::Passed), "passed");
    EXPECT_STREQ(toString(Outcome::Misbehaved), "misbehaved");
    EXPECT_STREQ(toString(Outcome::Unusable), "unusable");
}

TEST(TestReports, EndedSaysWhetherTheTestMisbehavedAndTheFirstFailureStands) {
    for (const auto status : {TestStatus::Failed, TestStatus::Crashed, TestStatus::TimedOut}) {
        const auto report = TestReport::ended("t", status, "why");
        EXPECT_EQ(report.name, "t");
        EXPECT_EQ(report.status, status);
        EXPECT_EQ(report.cause, "why");
        EXPECT_EQ(report.outcome, Outcome::Misbehaved);
    }
    EXPECT_EQ(TestReport::ended("t", TestStatus::Skipped, "").outcome, Outcome::Passed);

    TestReport report;
    report.fail("first");
    report.fail("second");
    EXPECT_EQ(report.status, TestStatus::Failed);
    EXPECT_EQ(report.outcome, Outcome::Misbehaved);
    EXPECT_EQ(report.cause, "first");
}

}  // namespace
