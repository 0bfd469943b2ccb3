#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "report_json.h"

namespace {

using Json = nlohmann::ordered_json;
using namespace host;

DescriptorInfo descriptor() {
    return DescriptorInfo{95, "src/a.cpp", "A", "Plugin A", "2.1", 7};
}

// Every field differs from its default and from every other field, so that a
// key that is dropped, renamed or read into the wrong field shows.
StepStatuses mixedSteps() {
    return {StepStatus::Passed,  StepStatus::Passed,   StepStatus::Failed,
            StepStatus::Crashed, StepStatus::TimedOut, StepStatus::NotRun,
            StepStatus::Passed,  StepStatus::Failed,   StepStatus::Crashed};
}

const char* kStepsJson = R"({"load":"passed","descriptor":"passed","getPlugin":"failed",
    "onLoad":"crashed","onUnload":"timed out","deleteMe":"not run","release":"passed",
    "unload":"failed","exit":"crashed"})";

const char* kDescriptorJson = R"({"sdkLevel":95,"sourcePath":"src/a.cpp","classLabel":"A",
    "displayName":"Plugin A","versionText":"2.1","kindCode":7})";

TEST(ReportJson, ARunReportWritesEveryKeyAndReadsBackTheSame) {
    RunReport report;
    report.module = "/m/a.so";
    report.tests = {{"descriptor", TestStatus::Passed, "", 0.25},
                    {"lifecycle", TestStatus::Crashed, "crashed in onLoad", 1.0004},
                    {"x", TestStatus::TimedOut, "t", 2},
                    {"y", TestStatus::Skipped, ""},
                    {"z", TestStatus::Failed, "f", 0.0015001}};
    report.descriptor = descriptor();
    report.warnings = {{"check-a", "text a"}};
    report.pluginOutput = {{"lifecycle", "standard error", 7, "one\\x1B"}};
    report.changes = {{"v", "old", "new"}};
    report.steps = mixedSteps();
    report.cyclesRequested = 5;
    report.cyclesPassed = 3;
    report.released = true;
    report.unloaded = false;
    report.peakResidentKiB = 4321;
    report.outcome = Outcome::Misbehaved;
    report.cause = "lifecycle: crashed in onLoad";
    report.seconds = 2.5;
    report.containment =
        ContainmentRecord{{"user namespace"}, {"network namespace"}, "why", true, {"/w"}};

    const Json json = report;
    const Json expected = {
        {"module", "/m/a.so"},
        {"tests",
         Json::parse(R"([{"name":"descriptor","status":"passed","cause":null,"seconds":0.25},
            {"name":"lifecycle","status":"crashed","cause":"crashed in onLoad","seconds":1.0},
            {"name":"x","status":"timed out","cause":"t","seconds":2.0},
            {"name":"y","status":"skipped","cause":null,"seconds":0.0},
            {"name":"z","status":"failed","cause":"f","seconds":0.002}])")},
        {"descriptor", Json::parse(kDescriptorJson)},
        {"warnings", Json::parse(R"([{"check":"check-a","text":"text a"}])")},
        {"pluginOutput", Json::parse(R"([{"test":"lifecycle","stream":"standard error",
            "bytes":7,"firstLine":"one\\x1B"}])")},
        {"changes", Json::parse(R"([{"name":"v","old":"old","new":"new"}])")},
        {"steps", Json::parse(kStepsJson)},
        {"cycles", Json::parse(R"({"requested":5,"passed":3})")},
        {"released", true},
        {"unloaded", false},
        {"peakResidentKiB", 4321},
        {"result", "misbehaved"},
        {"exitCode", 1},
        {"cause", "lifecycle: crashed in onLoad"},
        {"seconds", 2.5},
        {"containment", Json::parse(R"({"inPlace":["user namespace"],
            "missing":["network namespace"],"why":"why","network":true,"writable":["/w"]})")}};
    EXPECT_EQ(json, expected);
    EXPECT_EQ(Json(json.get<RunReport>()), json);
    for (const char* seconds : {"-0.001", "\"1\"", "null"}) {
        Json wrong = json;
        wrong["tests"][0]["seconds"] = Json::parse(seconds);
        EXPECT_THROW(wrong.get<RunReport>(), Json::exception) << seconds;
    }
    Json notANumber = json;  // only in memory: no JSON text holds one
    notANumber["seconds"] = std::nan("");
    EXPECT_THROW(notANumber.get<RunReport>(), Json::exception);

    RunReport empty;
    const Json emptyJson = empty;
    EXPECT_TRUE(emptyJson["descriptor"].is_null());
    EXPECT_TRUE(emptyJson["cause"].is_null());
    EXPECT_TRUE(emptyJson["containment"].is_null()) << "in plugin-host's own process: none";
    EXPECT_EQ(emptyJson["result"], "passed");
    EXPECT_EQ(Json(emptyJson.get<RunReport>()), emptyJson);
    for (const auto outcome :
         {Outcome::Passed, Outcome::Misbehaved, Outcome::Unusable, Outcome::HostFailure}) {
        report.outcome = outcome;
        EXPECT_EQ(Json(report).get<RunReport>().outcome, outcome);
    }
}

TEST(ReportJson, ATestReportWritesEveryKeyAndReadsBackTheSame) {
    TestReport report;
    report.name = "fresh-after-delete";
    report.status = TestStatus::Failed;
    report.cause = "the plugin kept 1 reference";
    report.outcome = Outcome::Unusable;
    report.descriptor = descriptor();
    report.changes = {{"v", "", "x"}, {"w", "1", "2"}};
    report.steps = mixedSteps();
    report.cyclesPassed = 2;
    report.released = false;
    report.unloaded = true;
    report.peakResidentKiB = 99;
    report.stateChanges = {"left SIGPIPE ignored", "changed the C locale to \"C.UTF-8\""};
    report.warnings = {{"shared-variable", "a.so and b.so each changed the console variable v"}};
    report.descriptorsBefore = 7;
    report.descriptorsAfter = 9;
    report.memory = {{10, 4000, 9000}, {55, 4100, 9100}, {100, 5000, 10000}};

    const Json json = report;
    const Json expected = {
        {"name", "fresh-after-delete"},
        {"status", "failed"},
        {"cause", "the plugin kept 1 reference"},
        {"exitCode", 2},
        {"descriptor", Json::parse(kDescriptorJson)},
        {"changes",
         Json::parse(R"([{"name":"v","old":"","new":"x"},{"name":"w","old":"1","new":"2"}])")},
        {"steps", Json::parse(kStepsJson)},
        {"cyclesPassed", 2},
        {"released", false},
        {"unloaded", true},
        {"peakResidentKiB", 99},
        {"stateChanges", {"left SIGPIPE ignored", "changed the C locale to \"C.UTF-8\""}},
        {"warnings",
         {{{"check", "shared-variable"},
           {"text", "a.so and b.so each changed the console variable v"}}}},
        {"descriptors", {{"before", 7}, {"after", 9}}},
        {"memory", Json::parse(R"([{"cycle":10,"residentKiB":4000,"allocatedKiB":9000},
            {"cycle":55,"residentKiB":4100,"allocatedKiB":9100},
            {"cycle":100,"residentKiB":5000,"allocatedKiB":10000}])")}};
    EXPECT_EQ(json, expected);
    EXPECT_EQ(Json(json.get<TestReport>()), json);
}

TEST(ReportJson, AnythingMissingOrUnknownIsRefusedRatherThanGuessed) {
    const Json good = TestReport::ended("lifecycle", TestStatus::Crashed, "c");
    for (const char* key : {"name", "status", "cause", "exitCode", "descriptor", "changes", "steps",
                            "cyclesPassed", "released", "unloaded", "peakResidentKiB",
                            "stateChanges", "warnings", "descriptors", "memory"}) {
        Json bad = good;
        bad.erase(key);
        EXPECT_THROW(bad.get<TestReport>(), Json::exception) << key;
    }
    Json badStatus = good;
    badStatus["status"] = "fine";
    EXPECT_THROW(badStatus.get<TestReport>(), Json::exception);
    Json badStep = good;
    badStep["steps"]["onLoad"] = "sort of";
    EXPECT_THROW(badStep.get<TestReport>(), Json::exception);
    for (const int code : {-1, 4}) {
        Json badCode = good;
        badCode["exitCode"] = code;
        EXPECT_THROW(badCode.get<TestReport>(), Json::exception) << code;
    }
    // A count that is no whole number, or none that fits, is refused too:
    // converting it would be undefined.
    for (const char* number : {"1.5", "9.5e76", "-1e300", "2147483648", "-2147483649", "\"3\"",
                               "18446744073709551616"}) {
        Json badCount = good;
        badCount["cyclesPassed"] = Json::parse(number);
        EXPECT_THROW(badCount.get<TestReport>(), Json::exception) << number;
    }
    Json fits = good;
    fits["cyclesPassed"] = Json::parse("2147483647");  // read as unsigned, as from a file
    fits["descriptors"]["before"] = -1;
    EXPECT_EQ(fits.get<TestReport>().cyclesPassed, 2147483647);
    EXPECT_EQ(fits.get<TestReport>().descriptorsBefore, -1);
    fits["cyclesPassed"] = -2147483648LL;
    EXPECT_EQ(fits.get<TestReport>().cyclesPassed, -2147483648LL);
}

}  // namespace
