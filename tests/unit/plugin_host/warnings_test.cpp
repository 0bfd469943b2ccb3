#include <gtest/gtest.h>

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
