#include <gtest/gtest.h>

#include <map>

#include "child_ending.h"
#include "isolation.h"

namespace {

using namespace host;

// The key a parent gave its child for the lifecycle test.
const RecordSeal& seal() {
    static const RecordSeal lifecycle(std::string(crypto::kKeyBytes, 'k'), "lifecycle");
    return lifecycle;
}

// What the child wrote on standard error, as the parent's capture, which
// seeks the lifecycle test's sealed line, reads it.
void wrote(process::Termination& ending, std::string error) {
    ending.standardError.head = std::move(error);
    ending.standardError.bytes = ending.standardError.head.size();
    ending.standardError.found =
        ending.standardError.head.find(seal().cannotReportLine()) != std::string::npos;
}

process::Termination exited(int code, std::string error = {}) {
    process::Termination ending;
    ending.exitCode = code;
    ending.description = "exit code " + std::to_string(code);
    wrote(ending, std::move(error));
    return ending;
}

process::Termination crashed() {
    process::Termination ending;
    ending.crashed = true;
    ending.exitCode = -1;
    ending.description = "signal 11 (Segmentation fault)";
    return ending;
}

process::Termination timedOut() {
    process::Termination ending = crashed();
    ending.timedOut = true;
    ending.description = "signal 9 (Killed)";
    return ending;
}

// Each way a child can end, by the name the table below uses.
const std::map<std::string, process::Termination>& endings() {
    static const std::map<std::string, process::Termination> all{
        {"exit 0", exited(0)},
        {"exit 1", exited(1)},
        {"exit 2", exited(2)},
        {"exit 3", exited(3)},
        {"exit 3, cannot report", exited(3, seal().cannotReportLine() + "\n")},
        // What a plugin can print: the words without the seal, or a line
        // sealed for another test.
        {"exit 3, the words alone",
         exited(3, "plugin-host (isolated run): cannot write the report file\n")},
        {"exit 3, another test's line",
         exited(3,
                RecordSeal(std::string(crypto::kKeyBytes, 'k'), "descriptor").cannotReportLine() +
                    "\n")},
        {"exit 7", exited(7)},
        // Before the first record the containment could not be made: only
        // plugin-host's own code has run, and what it wrote is its own.
        {"exit 124, not contained",
         exited(process::kCannotContainExitCode,
                "cannot contain the child: its Landlock domain: Operation not permitted\n")},
        {"exit 124, silent", exited(process::kCannotContainExitCode)},
        {"signal", crashed()},
        // The child could not report, then the plugin's code crashed on its
        // way out: the crash is the plugin's.
        {"signal after cannot report",
         [] {
             process::Termination ending = crashed();
             wrote(ending, seal().cannotReportLine() + "\n");
             return ending;
         }()},
        {"limit", timedOut()},
    };
    return all;
}

// Each state the child's log can be in: the lifecycle's third cycle of five
// had started onLoad.
ChildProgress progressIn(const std::string& state) {
    ChildProgress progress;
    if (state == "empty") {
        return progress;
    }
    progress.descriptor = DescriptorInfo{95, "a.cpp", "A", "B", "1", 1};
    progress.cycle = 3;
    progress.steps = {Step::Load, Step::GetPlugin, Step::OnLoad};
    progress.records = 8;
    if (state == "passed" || state == "garbage and a report" || state == "provoking") {
        progress.finalReport = TestReport::ended("lifecycle", TestStatus::Passed, "");
        progress.finalReport->cyclesPassed = 5;
    } else if (state == "failed") {
        progress.finalReport = TestReport::ended("lifecycle", TestStatus::Failed, "why");
    } else if (state == "unusable") {
        progress.finalReport = TestReport::ended("lifecycle", TestStatus::Failed, "refused");
        progress.finalReport->outcome = Outcome::Unusable;
    }
    if (state == "provoking") {
        progress.provoking = "when plugin-host raised an exception";
    }
    if (state == "garbage and a report" || state == "some garbage") {
        progress.garbageBytes = 10;
        progress.garbageDuring = Step::OnLoad;
    } else if (state == "garbage beyond the bound") {
        progress.garbageBytes = kGarbageLimit + 1;
        progress.garbageDuring = Step::GetPlugin;
    } else if (state == "garbage at the bound") {
        progress.garbageBytes = kGarbageLimit;
        progress.garbageDuring = Step::GetPlugin;
    }
    return progress;
}

std::string judged(const std::string& state, const std::string& ending) {
    Options options;
    options.cycles = 5;
    const TestReport report = judgeChild(options, *findContractTest("lifecycle"), progressIn(state),
                                         endings().at(ending), "/tmp");
    return std::string(toString(report.status)) + " " + std::to_string(int(report.outcome)) +
           (report.cause.empty() ? "" : ": " + report.cause);
}

// A child's report counts only as far as its ending backs it: each ending
// against each state of the log, judged whole.
TEST(ChildEnding, EveryEndingAgainstEveryStateOfTheLog) {
    const std::string noReport = "crashed 1: ended without a report (";
    const std::string inOnLoad = ") in onLoad (cycle 3)";
    const std::string crash = "crashed with signal 11 (Segmentation fault)";
    const std::string limit = "did not finish within 30 s and was killed";
    const std::string hostTrouble =
        "failed 3: the isolated run could not write its report in /tmp (is the disk full?)";
    const std::string garbage =
        "failed 1: the plugin wrote 10 bytes into plugin-host's report "
        "during onLoad";
    const std::string flood =
        "failed 1: the plugin wrote 1048577 bytes into plugin-host's "
        "report during getPlugin";
    const std::map<std::string, std::map<std::string, std::string>> expected{
        {"empty",
         {{"exit 0", noReport + "exit code 0) in load (cycle 1)"},
          {"exit 1", noReport + "exit code 1) in load (cycle 1)"},
          {"exit 3", noReport + "exit code 3) in load (cycle 1)"},
          {"exit 3, cannot report", hostTrouble},
          {"exit 3, the words alone", noReport + "exit code 3) in load (cycle 1)"},
          {"exit 3, another test's line", noReport + "exit code 3) in load (cycle 1)"},
          {"exit 124, not contained",
           "failed 3: cannot start the isolated run: cannot contain the child: its Landlock "
           "domain: Operation not permitted"},
          {"exit 124, silent",
           "failed 3: cannot start the isolated run: it could not be contained"},
          {"signal", "crashed 1: " + crash + " in load (cycle 1)"},
          {"limit", "timed out 1: " + limit + " in load (cycle 1)"}}},
        {"steps",
         {{"exit 0", noReport + "exit code 0" + inOnLoad},
          {"exit 2", noReport + "exit code 2" + inOnLoad},
          {"exit 3", noReport + "exit code 3" + inOnLoad},
          {"exit 3, cannot report", hostTrouble},
          {"exit 3, the words alone", noReport + "exit code 3" + inOnLoad},
          {"exit 7", noReport + "exit code 7" + inOnLoad},
          // Once the plugin has run, its words and its exit code are its own.
          {"exit 124, not contained", noReport + "exit code 124" + inOnLoad},
          {"signal", "crashed 1: " + crash + " in onLoad (cycle 3)"},
          {"signal after cannot report", "crashed 1: " + crash + " in onLoad (cycle 3)"},
          {"limit", "timed out 1: " + limit + " in onLoad (cycle 3)"}}},
        {"some garbage",
         {{"exit 0", noReport + "exit code 0" + inOnLoad},
          {"signal", "crashed 1: " + crash + " in onLoad (cycle 3)"}}},
        {"passed",
         {{"exit 0", "passed 0"},
          {"exit 1", "failed 1: ended with exit code 1 instead of exit code 0 in exit"},
          {"exit 2", "failed 1: ended with exit code 2 instead of exit code 0 in exit"},
          {"exit 3", "failed 1: ended with exit code 3 instead of exit code 0 in exit"},
          {"exit 3, cannot report",
           "failed 1: ended with exit code 3 instead of exit code 0 in exit"},
          {"exit 7", "failed 1: ended with exit code 7 instead of exit code 0 in exit"},
          {"signal", "crashed 1: " + crash + " in exit"},
          {"limit", "timed out 1: " + limit + " in exit"}}},
        // What plugin-host was doing after the report, when it ended so.
        {"provoking",
         {{"exit 0", "passed 0"},
          {"signal", "crashed 1: " + crash + " in exit, when plugin-host raised an exception"},
          {"exit 7",
           "failed 1: ended with exit code 7 instead of exit code 0 in exit, when "
           "plugin-host raised an exception"}}},
        // A test that failed stays failed for its own reason, however it ended.
        {"failed",
         {{"exit 0", "failed 1: why"},
          {"exit 1", "failed 1: why"},
          {"exit 3", "failed 1: why"},
          {"signal", "failed 1: why"},
          {"limit", "failed 1: why"}}},
        {"unusable", {{"exit 2", "failed 2: refused"}, {"exit 1", "failed 2: refused"}}},
        {"garbage and a report",
         {{"exit 0", garbage}, {"exit 3", garbage}, {"signal", garbage}, {"limit", garbage}}},
        // Up to the bound, garbage alone does not end the child.
        {"garbage at the bound", {{"exit 0", noReport + "exit code 0" + inOnLoad}}},
        {"garbage beyond the bound",
         {{"exit 0", flood},
          {"exit 3", flood},
          {"exit 3, cannot report", hostTrouble},
          {"signal", flood},
          {"limit", flood}}},
    };
    for (const auto& [state, row] : expected) {
        for (const auto& [ending, judgement] : row) {
            EXPECT_EQ(judged(state, ending), judgement) << state << ", " << ending;
        }
    }
}

TEST(ChildEnding, TheExitStepAndTheCyclesFollowTheEnding) {
    Options options;
    options.cycles = 5;
    const ContractTest& lifecycle = *findContractTest("lifecycle");
    const auto judge = [&](const std::string& state, const process::Termination& ending) {
        return judgeChild(options, lifecycle, progressIn(state), ending, "/tmp");
    };
    EXPECT_EQ(judge("passed", exited(0)).step(Step::Exit), StepStatus::Passed);
    EXPECT_EQ(judge("passed", exited(0)).cyclesPassed, 5);
    EXPECT_EQ(judge("failed", exited(1)).step(Step::Exit), StepStatus::Passed);
    EXPECT_EQ(judge("failed", exited(0)).step(Step::Exit), StepStatus::Failed);
    EXPECT_EQ(judge("passed", crashed()).step(Step::Exit), StepStatus::Crashed);
    EXPECT_EQ(judge("passed", timedOut()).step(Step::Exit), StepStatus::TimedOut);
    // An unfinished log: what it started passed, but the last step, and the
    // cycles before the one under way.
    const TestReport unfinished = judge("steps", crashed());
    EXPECT_EQ(unfinished.step(Step::Load), StepStatus::Passed);
    EXPECT_EQ(unfinished.step(Step::GetPlugin), StepStatus::Passed);
    EXPECT_EQ(unfinished.step(Step::OnLoad), StepStatus::Crashed);
    EXPECT_EQ(unfinished.step(Step::OnUnload), StepStatus::NotRun);
    EXPECT_EQ(unfinished.cyclesPassed, 2);
    EXPECT_TRUE(unfinished.descriptor);
    EXPECT_EQ(judge("steps", timedOut()).step(Step::OnLoad), StepStatus::TimedOut);
    // A stop nobody continues ends the child as a crash does.
    process::Termination stopped = crashed();
    stopped.stopped = true;
    stopped.description = "signal 19 (Stopped (signal))";
    const TestReport stop = judge("steps", stopped);
    EXPECT_EQ(stop.step(Step::OnLoad), StepStatus::Crashed);
    EXPECT_EQ(stop.status, TestStatus::Crashed);
    EXPECT_EQ(stop.cause,
              "was stopped by signal 19 (Stopped (signal)) and killed in onLoad (cycle 3)");
    // An exit in the middle of a step, with no report, is a crash of that step.
    EXPECT_EQ(judge("steps", exited(0)).step(Step::OnLoad), StepStatus::Crashed);
    EXPECT_EQ(judge("empty", exited(0)).cyclesPassed, 0);
    EXPECT_EQ(judge("garbage and a report", exited(0)).cyclesPassed, 0);
    EXPECT_EQ(judge("garbage and a report", exited(0)).step(Step::OnLoad), StepStatus::Failed);
    // One cycle, or a test that does not count them: no cycle in the cause.
    options.cycles = 1;
    EXPECT_EQ(judge("steps", crashed()).cause,
              "crashed with signal 11 (Segmentation fault) in onLoad");
    options.cycles = 5;
    EXPECT_EQ(
        judgeChild(options, *findContractTest("descriptor"), progressIn("steps"), crashed(), "/tmp")
            .cause,
        "crashed with signal 11 (Segmentation fault) in onLoad");
    // What only the parent saw goes with the report, whatever the ending,
    // down to one byte on each stream.
    process::Termination printed = exited(0, "e");
    printed.standardOutput = {1, "h"};
    printed.leftProcesses = true;
    for (const std::string state : {"passed", "steps", "garbage and a report"}) {
        const TestReport report = judge(state, printed);
        ASSERT_EQ(report.output.size(), 2u) << state;
        EXPECT_EQ(report.output[0].stream, "standard output");
        EXPECT_EQ(report.output[0].head, "h");
        EXPECT_EQ(report.output[1].stream, "standard error");
        EXPECT_EQ(report.output[1].bytes, 1u);
        EXPECT_TRUE(report.leftProcesses) << state;
    }
    EXPECT_TRUE(judge("passed", exited(0)).output.empty());
}

}  // namespace

namespace {

Options togetherOptions() {
    Options options;
    options.together = true;
    options.modules = {"/m/a.so", "/m/b.so", "/m/c.so"};
    return options;
}

std::vector<std::string> results(const std::vector<TestReport>& reports) {
    std::vector<std::string> lines;
    for (const auto& report : reports) {
        std::string line = std::string(toString(report.status)) + ": " + report.cause;
        for (const auto& change : report.stateChanges) {
            line += " | " + change;
        }
        for (const auto& change : report.changes) {
            line += " | " + change.name + "=" + change.after;
        }
        lines.push_back(line);
    }
    return lines;
}

// b.so's onLoad crashed the process: it is blamed, with what the others'
// steps left; a.so fails by what it left, c.so by its unload, and what each
// changed is its own.
TEST(TogetherEnding, TheCrashIsTheStepsModulesAndEachKeepsWhatItLeft) {
    ChildProgress progress;
    progress.module = 1;
    progress.cycle = 1;
    progress.steps = {Step::Load, Step::Descriptor, Step::GetPlugin, Step::OnLoad};
    progress.left = {{0, Step::OnLoad, true, "left X"},
                     {0, Step::OnLoad, false, "changed Y"},
                     {1, Step::Load, false, "changed Z"},
                     {2, Step::Unload, true, "stayed"}};
    progress.changes = {{0, Change{"v", "", "1"}}, {1, Change{"v", "1", "2"}}};
    const std::string cause = "in b.so: onLoad; a.so's onLoad left X; a.so's onLoad changed Y";
    EXPECT_EQ(results(judgeTogether(togetherOptions(), progress, crashed(), "/tmp")),
              (std::vector<std::string>{"failed: left X | changed Y | v=1",
                                        "crashed: crashed with signal 11 (Segmentation fault) " +
                                            cause + " | changed Z | v=2",
                                        "failed: stayed"}));
    EXPECT_EQ(
        results(judgeTogether(togetherOptions(), progress, timedOut(), "/tmp"))[1],
        "timed out: did not finish within 30 s and was killed " + cause + " | changed Z | v=2");
    progress.left.clear();
    progress.changes.clear();
    EXPECT_EQ(results(judgeTogether(togetherOptions(), progress, exited(0), "/tmp"))[2],
              "skipped: not run to its end: the process ended in b.so: onLoad");
}

// In a tagged sequence the crash is placed by its operation, which the
// parent names in front of the cause; a failure left earlier keeps its own.
TEST(TogetherEnding, ASequenceIsPlacedByItsOperations) {
    Options options = togetherOptions();
    options.sequence = "1:getPlugin,1:fill,1:onLoad,2:getPlugin";
    ChildProgress progress;
    progress.module = 1;
    progress.cycle = 5;
    progress.steps = {Step::GetPlugin};
    progress.left = {{0, Step::OnLoad, true, "left X", 4}};
    const auto reports = judgeTogether(options, progress, crashed(), "/tmp");
    EXPECT_EQ(results(reports),
              (std::vector<std::string>{
                  "failed: left X",
                  "crashed: crashed with signal 11 (Segmentation fault); a.so's onLoad left X",
                  "skipped: not run to its end: the process ended in operation 4 of 4, "
                  "2:getPlugin"}));
    EXPECT_EQ(reports[0].cyclesPassed, 3);
    EXPECT_EQ(reports[1].cyclesPassed, 4);
    progress.cycle = 1;
    EXPECT_EQ(results(judgeTogether(options, progress, crashed(), "/tmp"))[2],
              "skipped: not run to its end: the process ended in the first load of b.so");
    progress.cycle = 6;
    EXPECT_EQ(results(judgeTogether(options, progress, crashed(), "/tmp"))[2],
              "skipped: not run to its end: the process ended after the last operation, as the "
              "host let go of what it still held");
}

// Every module's report came: each stands, held to the child's exit code,
// which is the worst of them.
TEST(TogetherEnding, EveryReportHeldToTheWorstExitCode) {
    ChildProgress progress;
    for (const auto status : {TestStatus::Passed, TestStatus::Failed, TestStatus::Passed}) {
        progress.reports.push_back(TestReport::ended("together", status, ""));
    }
    EXPECT_EQ(results(judgeTogether(togetherOptions(), progress, exited(1), "/tmp")),
              (std::vector<std::string>{"passed: ", "failed: ", "passed: "}));
    EXPECT_EQ(results(judgeTogether(togetherOptions(), progress, exited(0), "/tmp")),
              (std::vector<std::string>{
                  "failed: ended with exit code 0 instead of exit code 1 in exit",
                  "failed: ", "failed: ended with exit code 0 instead of exit code 1 in exit"}));
}

}  // namespace
