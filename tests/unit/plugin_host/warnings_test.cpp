#include <gtest/gtest.h>

#include <limits>

#include "leftovers.h"
#include "warnings.h"

namespace {

using namespace host;

DescriptorInfo withSource(const std::string& path) {
    return DescriptorInfo{95, path, "A", "B", "1.0", 1};
}

const std::string kLeaks =
    "\" is an absolute path: it leaks the build machine's folders into the module and makes "
    "builds from two folders differ";

TEST(Warnings, EveryFormOfAbsoluteSourcePathIsNamed) {
    for (const std::string path : {"/home/me/a.cpp", "/", "\\\\server\\share\\a.cpp", "\\a.cpp",
                                   "C:\\src\\a.cpp", "c:/src/a.cpp", "Z:\\"}) {
        const auto warnings = descriptorWarnings(withSource(path));
        ASSERT_EQ(warnings.size(), 1u) << path;
        EXPECT_EQ(warnings[0].check, "absolute-source-path");
        EXPECT_EQ(warnings[0].text, "sourcePath \"" + path + kLeaks);
    }
}

TEST(Warnings, RelativeSourcePathsAreFine) {
    for (const std::string path :
         {"Velquist/Velquist.cpp", "a.cpp", "", "C:a.cpp", "1:\\a.cpp", "./a.cpp", "..\\a.cpp"}) {
        EXPECT_TRUE(descriptorWarnings(withSource(path)).empty()) << path;
    }
}

TEST(Warnings, EachEmptyTextIsNamedOnItsOwn) {
    DescriptorInfo d = withSource("a.cpp");
    d.classLabel.clear();
    auto warnings = descriptorWarnings(d);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].check, "empty-descriptor-text");
    EXPECT_EQ(warnings[0].text, "classLabel is an empty string");

    d = withSource("a.cpp");
    d.displayName.clear();
    warnings = descriptorWarnings(d);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].text, "displayName is an empty string");

    d = withSource("a.cpp");
    d.versionText.clear();
    warnings = descriptorWarnings(d);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].text, "versionText is an empty string");

    // An empty source path is not a text the host shows.
    EXPECT_TRUE(descriptorWarnings(withSource("")).empty());
}

TEST(Warnings, OutputIsOneWarningPerStreamAcrossTests) {
    std::vector<TestReport> reports(3);
    reports[0].name = "a";
    reports[1].name = "b";
    reports[2].name = "c";
    reports[0].output = {{"standard error", 1, "e"}};
    reports[1].output = {{"standard output", 10, "first\nsecond"}, {"standard error", 4, "x"}};
    reports[2].output = {{"standard output", 5, "other"}};
    const auto warnings = runWarnings(reports);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].check, "plugin-output");
    EXPECT_EQ(warnings[0].text,
              "b wrote 10 bytes to standard output; first line: \"first\" (and 1 more test wrote "
              "to it, 15 bytes in all)");
    EXPECT_EQ(warnings[1].text,
              "a wrote 1 byte to standard error; first line: \"e\" (and 1 more test wrote to it, "
              "5 bytes in all)");
    EXPECT_TRUE(runWarnings({reports[0]}).size() == 1);
}

TEST(Warnings, ProcessesLeftBehindNameEveryTestThatLeftThem) {
    std::vector<TestReport> reports(3);
    reports[0].name = "a";
    reports[1].name = "b";
    reports[2].name = "c";
    EXPECT_TRUE(runWarnings(reports).empty());
    reports[0].leftProcesses = true;
    reports[2].leftProcesses = true;
    const auto warnings = runWarnings(reports);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].check, "left-processes");
    EXPECT_EQ(warnings[0].text,
              "a, c ended with processes of the plugin's still running; plugin-host ended them");
}

// The samples a lifecycle of N cycles takes: a tenth in, halfway through
// the rest, the last; none below the smallest N that tells growth apart.
TEST(Warnings, MemoryIsSampledATenthInHalfwayThroughTheRestAndAtTheEnd) {
    EXPECT_EQ(memorySampleCycles(9), std::vector<int>{});
    EXPECT_EQ(memorySampleCycles(10), (std::vector<int>{1, 5, 10}));
    EXPECT_EQ(memorySampleCycles(11), (std::vector<int>{2, 6, 11}));
    EXPECT_EQ(memorySampleCycles(100), (std::vector<int>{10, 55, 100}));
    EXPECT_EQ(memorySampleCycles(kMaxCycles),
              (std::vector<int>{kMaxCycles / 10, 55000000, kMaxCycles}));
}

// Both halves must grow by kGrowthPerHalfKiB, in either figure; samples no
// run could take (the same cycle thrice, figures at the ends of their
// range) say nothing rather than divide by zero or overflow.
TEST(Warnings, MemoryGrowthIsOnlyWhereBothHalvesGrew) {
    const auto growth = [](std::vector<MemorySample> memory) {
        TestReport report;
        report.name = "lifecycle";
        report.memory = std::move(memory);
        const auto warning = memoryGrowthWarning(report);
        return warning ? warning->check + ": " + warning->text : std::string("none");
    };
    const long big = std::numeric_limits<long>::max();
    const long small = std::numeric_limits<long>::min();
    const std::pair<std::vector<MemorySample>, std::string> rows[] = {
        {{{10, 100, 0}, {55, 1124, 0}, {100, 2148, 0}},
         "memory-growth: lifecycle's memory grew with every cycle: 2048 KiB from cycle 10 to "
         "cycle 100, about 22 KiB a cycle"},
        {{{10, 100, 0}, {55, 1123, 0}, {100, 2148, 0}}, "none"},
        {{{10, 100, 0}, {55, 1124, 0}, {100, 2147, 0}}, "none"},
        {{{10, 0, 100}, {55, 0, 1124}, {100, 0, 2148}},
         "memory-growth: lifecycle's memory grew with every cycle: 2048 KiB from cycle 10 to "
         "cycle 100, about 22 KiB a cycle"},
        {{{10, 100, 0}, {55, 1124, 0}}, "none"},
        {{{10, 100, 0}, {10, 1124, 0}, {10, 2148, 0}}, "none"},
        {{{10, 100, 0}, {55, 1124, 0}, {55, 2148, 0}}, "none"},
        {{{100, 100, 0}, {55, 1124, 0}, {10, 2148, 0}}, "none"},
        {{{1, small, small}, {2, 0, 0}, {3, big, big}},
         "memory-growth: lifecycle's memory grew with every cycle: " +
             std::to_string(static_cast<unsigned long long>(big) * 2 + 1) +
             " KiB from cycle 1 to cycle 3, about " +
             std::to_string((static_cast<unsigned long long>(big) * 2 + 1) / 2) + " KiB a cycle"},
    };
    for (const auto& [memory, expected] : rows) {
        EXPECT_EQ(growth(memory), expected) << memory[0].residentKiB;
    }
}

// One process-state line per change, naming every test that left it, in
// the order first seen; a change that could not be put back says so
// instead of that it was (a text as long as that clause, too).
TEST(Warnings, EachStateChangeIsOneLineNamingEveryTestThatLeftIt) {
    const std::string lasting = std::string("changed Y") + kCannotPutBack;
    std::vector<TestReport> reports(3);
    reports[0].name = "lifecycle";
    reports[0].stateChanges = {"left SIGTERM ignored", lasting};
    reports[1].name = "get-plugin-twice";
    reports[1].stateChanges = {"changed the C locale", "left SIGTERM ignored"};
    reports[2].name = "fresh-after-delete";
    reports[2].stateChanges = {kCannotPutBack};
    std::vector<std::string> lines;
    for (const auto& warning : runWarnings(reports)) {
        lines.push_back(warning.check + ": " + warning.text);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "process-state: lifecycle, get-plugin-twice left SIGTERM ignored; "
                         "plugin-host put it back",
                         "process-state: lifecycle " + lasting,
                         "process-state: get-plugin-twice changed the C locale; plugin-host put "
                         "it back",
                         "process-state: fresh-after-delete " + std::string(kCannotPutBack)}));
}

TEST(Warnings, StrictNamesEachCheckOnceAndCountsEveryWarning) {
    RunReport report;
    report.warnings = {{"empty-descriptor-text", "a"},
                       {"absolute-source-path", "b"},
                       {"empty-descriptor-text", "c"}};
    failOnWarnings(report);
    EXPECT_EQ(report.outcome, Outcome::Misbehaved);
    EXPECT_EQ(report.cause,
              "failed under --strict: 3 warnings (empty-descriptor-text, absolute-source-path)");

    RunReport one;
    one.warnings = {{"absolute-source-path", "b"}};
    failOnWarnings(one);
    EXPECT_EQ(one.cause, "failed under --strict: 1 warning (absolute-source-path)");

    RunReport none;
    failOnWarnings(none);
    EXPECT_EQ(none.outcome, Outcome::Passed);
    EXPECT_EQ(none.cause, "");
}

}  // namespace
