#include <gtest/gtest.h>

#include "merge.h"
#include "process/process.h"

namespace {

using namespace host;

// Roles are the entries' own: these stand in for the catalog's.
const ContractTest kGate{"gate", "", "", nullptr, true, false};
const ContractTest kCycles{"cycles", "", "", nullptr, false, true};
const ContractTest kOther{"other", "", "", nullptr, false, false};
const ContractTest kLast{"last", "", "", nullptr, false, false};
const std::vector<const ContractTest*> kTests{&kGate, &kOther, &kCycles, &kLast};

TestReport passed(const std::string& name, int cycles) {
    TestReport report;
    report.name = name;
    report.cyclesPassed = cycles;
    report.peakResidentKiB = 100 + cycles;
    report.released = cycles == 2;
    report.unloaded = cycles == 2;
    report.changes = {{name, "a", "b"}};
    report.step(Step::Unload) = StepStatus::Passed;
    return report;
}

Options options(bool strict = false) {
    Options o;
    o.module = std::filesystem::absolute("m.so");
    o.cycles = 2;
    o.strict = strict;
    return o;
}

std::vector<TestReport> allPassed() {
    auto gate = passed("gate", 0);
    gate.descriptor = DescriptorInfo{95, "/abs/a.cpp", "A", "", "1", 1};
    return {gate, passed("other", 1), passed("cycles", 2), passed("last", 3)};
}

TEST(Merge, ThePassingRunTakesItsCycleFromTheTestThatReportsCycles) {
    const RunReport merged = mergeReports(options(), kTests, allPassed());
    EXPECT_EQ(merged.module, process::pathToUtf8(std::filesystem::absolute("m.so")));
    EXPECT_EQ(merged.outcome, Outcome::Passed);
    EXPECT_EQ(merged.cause, "");
    ASSERT_EQ(merged.tests.size(), 4u);
    EXPECT_EQ(merged.tests[2].name, "cycles");
    EXPECT_EQ(merged.cycleTest, "cycles");
    EXPECT_EQ(merged.cyclesRequested, 2);
    EXPECT_EQ(merged.cyclesPassed, 2);
    EXPECT_EQ(merged.peakResidentKiB, 102);
    EXPECT_TRUE(merged.released);
    EXPECT_TRUE(merged.unloaded);
    ASSERT_EQ(merged.changes.size(), 1u);
    EXPECT_EQ(merged.changes[0].name, "cycles");
    EXPECT_EQ(merged.step(Step::Unload), StepStatus::Passed);
    // The descriptor's warnings, found once for the run.
    ASSERT_TRUE(merged.descriptor);
    EXPECT_EQ(merged.descriptor->sourcePath, "/abs/a.cpp");
    ASSERT_EQ(merged.warnings.size(), 2u);
    EXPECT_EQ(merged.warnings[0].check, "absolute-source-path");
    EXPECT_EQ(merged.warnings[1].text, "displayName is an empty string");
}

TEST(Merge, WithoutTheCycleTestTheFirstTestThatRanGivesTheCycle) {
    auto reports = allPassed();
    reports[0] = TestReport::ended("gate", TestStatus::Skipped, "");
    reports[2] = TestReport::ended("cycles", TestStatus::Skipped, "");
    const RunReport merged = mergeReports(options(), kTests, reports);
    EXPECT_EQ(merged.cycleTest, "");
    EXPECT_EQ(merged.cyclesPassed, 1);
    EXPECT_EQ(merged.changes[0].name, "other");
    // Skipped is not failed.
    EXPECT_EQ(merged.outcome, Outcome::Passed);
    EXPECT_FALSE(merged.descriptor);
    EXPECT_TRUE(merged.warnings.empty());
}

// Of two tests that report cycles, the first gives them.
TEST(Merge, TheFirstTestThatReportsCyclesGivesThem) {
    const RunReport merged = mergeReports(options(), {&kOther, &kCycles, &kCycles},
                                          {passed("other", 3), passed("a", 2), passed("b", 1)});
    EXPECT_EQ(merged.cycleTest, "a");
    EXPECT_EQ(merged.cyclesPassed, 2);
}

TEST(Merge, WhenNoTestRanNoCycleOrMemoryIsClaimed) {
    std::vector<TestReport> reports;
    for (const ContractTest* test : kTests) {
        reports.push_back(TestReport::ended(test->name, TestStatus::Skipped, ""));
    }
    const RunReport merged = mergeReports(options(), kTests, reports);
    EXPECT_EQ(merged.cyclesRequested, 2);
    EXPECT_EQ(merged.cyclesPassed, 0);
    EXPECT_EQ(merged.peakResidentKiB, 0);
    EXPECT_FALSE(merged.released || merged.unloaded);
    EXPECT_TRUE(merged.changes.empty());
}

TEST(Merge, TheFirstFailureIsTheCauseAndTheOthersAreCounted) {
    auto reports = allPassed();
    reports[3] = TestReport::ended("last", TestStatus::TimedOut, "hung in onLoad");
    RunReport merged = mergeReports(options(), kTests, reports);
    EXPECT_EQ(merged.outcome, Outcome::Misbehaved);
    EXPECT_EQ(merged.cause, "last: hung in onLoad");
    EXPECT_EQ(merged.tests[3].status, TestStatus::TimedOut);
    EXPECT_EQ(merged.tests[3].cause, "hung in onLoad");

    reports[1] = TestReport::ended("other", TestStatus::Crashed, "crashed in deleteMe");
    EXPECT_EQ(mergeReports(options(), kTests, reports).cause,
              "other: crashed in deleteMe (and 1 more test failed)");
    reports[2] = TestReport::ended("cycles", TestStatus::Failed, "kept a handle");
    EXPECT_EQ(mergeReports(options(), kTests, reports).cause,
              "other: crashed in deleteMe (and 2 more tests failed)");
}

TEST(Merge, AnUnusableModuleOutranksEveryFailure) {
    auto reports = allPassed();
    reports[1] = TestReport::ended("other", TestStatus::Failed, "kept a handle");
    reports[3] = TestReport::ended("last", TestStatus::Failed, "bad descriptor: sdk level 94");
    reports[3].outcome = Outcome::Unusable;
    const RunReport merged = mergeReports(options(), kTests, reports);
    EXPECT_EQ(merged.outcome, Outcome::Unusable);
    EXPECT_EQ(merged.cause, "bad descriptor: sdk level 94");
}

TEST(Merge, PluginHostsOwnFailureOutranksEvenAnUnusableModule) {
    auto reports = allPassed();
    reports[1] = TestReport::ended("other", TestStatus::Failed, "bad descriptor: sdk level 94");
    reports[1].outcome = Outcome::Unusable;
    reports[3] = TestReport::ended("last", TestStatus::Failed, "cannot write its report file");
    reports[3].outcome = Outcome::HostFailure;
    const RunReport merged = mergeReports(options(true), kTests, reports);
    EXPECT_EQ(merged.outcome, Outcome::HostFailure);
    EXPECT_EQ(merged.cause, "cannot write its report file");
}

TEST(Merge, WhatThePluginPrintedIsCarriedPerTestAndStream) {
    auto reports = allPassed();
    reports[2].output = {{"standard error", 5, "oops\x1b\nmore"}};
    const RunReport merged = mergeReports(options(), kTests, reports);
    ASSERT_EQ(merged.pluginOutput.size(), 1u);
    EXPECT_EQ(merged.pluginOutput[0].test, "cycles");
    EXPECT_EQ(merged.pluginOutput[0].stream, "standard error");
    EXPECT_EQ(merged.pluginOutput[0].bytes, 5u);
    EXPECT_EQ(merged.pluginOutput[0].firstLine, "oops\\x1B");
    EXPECT_EQ(merged.warnings.back().check, "plugin-output");
}

TEST(Merge, StrictFailsAPassingRunWithWarningsOnly) {
    const RunReport strict = mergeReports(options(true), kTests, allPassed());
    EXPECT_EQ(strict.outcome, Outcome::Misbehaved);
    EXPECT_EQ(strict.cause,
              "failed under --strict: 2 warnings (absolute-source-path, empty-descriptor-text)");
    EXPECT_EQ(strict.warnings.size(), 2u);

    auto failing = allPassed();
    failing[1] = TestReport::ended("other", TestStatus::Failed, "kept a handle");
    EXPECT_EQ(mergeReports(options(true), kTests, failing).cause, "other: kept a handle");

    auto clean = allPassed();
    clean[0].descriptor = DescriptorInfo{95, "a.cpp", "A", "B", "1", 1};
    EXPECT_EQ(mergeReports(options(true), kTests, clean).outcome, Outcome::Passed);
}

}  // namespace
