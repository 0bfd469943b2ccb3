#include "child_ending.h"

#include <algorithm>
#include <optional>
#include <sstream>

#include "isolation.h"
#include "tagged_sequence.h"
#include "together.h"

namespace host {

namespace {

std::string seconds(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// How a child's process ended, as the step it ended in records it; nothing
// when it exited on its own with `expectedCode`.
struct Ending {
    TestStatus status;
    StepStatus step;
    std::string how;
};

std::optional<Ending> endingOf(const Options& options, const process::Termination& termination,
                               int expectedCode) {
    if (termination.timedOut) {
        return Ending{
            TestStatus::TimedOut, StepStatus::TimedOut,
            "did not finish within " + seconds(options.timeoutSeconds) + " s and was killed"};
    }
    if (termination.stopped) {
        return Ending{TestStatus::Crashed, StepStatus::Crashed,
                      "was stopped by " + termination.description + " and killed"};
    }
    if (termination.crashed) {
        return Ending{TestStatus::Crashed, StepStatus::Crashed,
                      "crashed with " + termination.description};
    }
    if (termination.exitCode != expectedCode) {
        return Ending{TestStatus::Failed, StepStatus::Failed,
                      "ended with " + termination.description + " instead of exit code " +
                          std::to_string(expectedCode)};
    }
    return std::nullopt;
}

// A report that starts from what the child's log says: the descriptor, and
// the steps it started, all passed but `last`, which ended as `status`.
TestReport fromProgress(const ContractTest& test, const ChildProgress& progress, Step last,
                        TestStatus testStatus, StepStatus status, std::string cause) {
    TestReport report = TestReport::ended(test.name, testStatus, std::move(cause));
    report.descriptor = progress.descriptor;
    for (const Step started : progress.steps) {
        report.step(started) = StepStatus::Passed;
    }
    report.step(last) = status;
    report.cyclesPassed = progress.cycle > 0 ? progress.cycle - 1 : 0;
    return report;
}

// The report of a child that ended without writing one: it crashed, was
// killed or exited at the last step it started.
TestReport unfinishedReport(const Options& options, const ContractTest& test,
                            const ChildProgress& progress,
                            const process::Termination& termination) {
    const Step step = progress.steps.empty() ? Step::Load : progress.steps.back();
    // Measured against its own exit code, only a crash or a kill is an ending.
    const auto ending = endingOf(options, termination, termination.exitCode);
    std::string cause =
        ending ? ending->how : "ended without a report (" + termination.description + ")";
    cause += std::string(" in ") + toString(step);
    if (options.cycles > 1 && test.reportsCycles) {
        // A child that ended before its first record ended in the first cycle.
        cause += " (cycle " + std::to_string(std::max(progress.cycle, 1)) + ")";
    }
    return fromProgress(test, progress, step, ending ? ending->status : TestStatus::Crashed,
                        ending ? ending->step : StepStatus::Crashed, cause);
}

// The report the child wrote, held to how the child then ended: a passing
// test whose process crashed, hung or exited otherwise afterwards (than
// with `code`, its reports' worst) did not pass.
TestReport heldToItsEnd(const Options& options, TestReport report, const ChildProgress& progress,
                        const process::Termination& termination, Outcome code) {
    const auto ending = endingOf(options, termination, static_cast<int>(code));
    report.step(Step::Exit) = ending ? ending->step : StepStatus::Passed;
    if (ending && report.status == TestStatus::Passed) {
        report.status = ending->status;
        report.outcome = Outcome::Misbehaved;
        report.cause = ending->how + " in exit";
        if (!progress.provoking.empty()) {
            report.cause += ", " + progress.provoking;
        }
    }
    return report;
}

}  // namespace

TestReport judgeChild(const Options& options, const ContractTest& test,
                      const ChildProgress& progress, const process::Termination& termination,
                      const std::filesystem::path& folder) {
    TestReport report;
    if (!progress.finalReport && termination.exitCode == kChildCannotReport &&
        termination.standardError.found) {
        report = TestReport::ended(
            test.name, TestStatus::Failed,
            "the isolated run could not write its report in " +
                (folder.empty() ? std::string("its own folder") : process::pathToUtf8(folder)) +
                " (is the disk full?)");
        report.outcome = Outcome::HostFailure;
        return report;
    }
    // Nothing of the plugin's runs before the child's first record: a child
    // that ended before it, saying it could not be contained, is
    // plugin-host's trouble, and what it wrote is plugin-host's words.
    if (progress.steps.empty() && !progress.finalReport && progress.garbageBytes == 0 &&
        !termination.crashed && !termination.timedOut &&
        termination.exitCode == process::kCannotContainExitCode) {
        const std::string& said = termination.standardError.head;
        report = TestReport::ended(
            test.name, TestStatus::Failed,
            "cannot start the isolated run: " +
                (said.empty() ? "it could not be contained" : said.substr(0, said.find('\n'))));
        report.outcome = Outcome::HostFailure;
        return report;
    }
    if (progress.garbageBytes > 0 &&
        (progress.finalReport || progress.garbageBytes > kGarbageLimit)) {
        // Nothing in that file can be trusted now, a pass least of all.
        const Step step = progress.garbageDuring.value_or(Step::Load);
        report = fromProgress(test, progress, step, TestStatus::Failed, StepStatus::Failed,
                              "the plugin wrote " + std::to_string(progress.garbageBytes) +
                                  " bytes into plugin-host's report during " + toString(step));
        report.cyclesPassed = 0;
    } else if (progress.finalReport) {
        report = heldToItsEnd(options, *progress.finalReport, progress, termination,
                              progress.finalReport->outcome);
    } else {
        report = unfinishedReport(options, test, progress, termination);
    }
    report.output = outputOf(termination.standardOutput, termination.standardError);
    report.leftProcesses = termination.leftProcesses;
    return report;
}

std::vector<TestReport> judgeTogether(const Options& options, const ChildProgress& progress,
                                      const process::Termination& termination,
                                      const std::filesystem::path& folder) {
    const std::size_t count = options.modules.size();
    const ContractTest& test = togetherTest();
    if (progress.reports.size() == count && progress.garbageBytes == 0) {
        Outcome worst = Outcome::Passed;
        for (const auto& report : progress.reports) {
            worst = std::max(worst, report.outcome);
        }
        std::vector<TestReport> reports;
        for (const auto& report : progress.reports) {
            reports.push_back(heldToItsEnd(options, report, progress, termination, worst));
        }
        return reports;
    }
    // plugin-host's own trouble, or a log the plugin wrote into: nobody's
    // steps can be told apart.
    const TestReport whole = judgeChild(options, test, progress, termination, folder);
    if (whole.outcome == Outcome::HostFailure || progress.garbageBytes > 0) {
        return std::vector<TestReport>(count, whole);
    }
    const std::size_t culprit = std::min(progress.module, count - 1);
    const Step step = progress.steps.empty() ? Step::Load : progress.steps.back();
    const auto name = [&](std::size_t module) { return togetherName(options.modules[module]); };
    const auto ending = endingOf(options, termination, termination.exitCode);
    std::string cause =
        ending ? ending->how : "ended without a report (" + termination.description + ")";
    // Where the process ended: a sequence's operation names its module and
    // what the host did, which the parent puts in front of the cause.
    std::string where = "in " + name(culprit) + ": " + toString(step);
    const int position = std::max(progress.cycle - 1, 0);
    if (options.sequence.empty()) {
        cause += " " + where;
    } else {
        const TaggedSequence sequence =
            parseTaggedSequence(options.sequence, options.modules.size()).sequence;
        const std::size_t p = static_cast<std::size_t>(position);
        where = p == 0 ? "in the first load of " + name(culprit)
                : p > sequence.size()
                    ? "after the last operation, as the host let go of what it still held"
                    : "in operation " + std::to_string(p) + " of " +
                          std::to_string(sequence.size()) + ", " + toString(sequence[p - 1]);
    }
    for (const auto& left : progress.left) {
        if (left.module != culprit && left.step != Step::Unload) {
            cause += "; " + name(left.module) + "'s " + toString(left.step) + " " + left.text;
        }
    }
    std::vector<TestReport> reports;
    for (std::size_t module = 0; module < count; ++module) {
        std::string failures;
        int failedAt = 0;  // the first failure's operation, in a sequence
        std::vector<std::string> changes;
        for (const auto& left : progress.left) {
            if (left.module == module && left.failure) {
                failedAt = failures.empty() ? left.cycle - 1 : failedAt;
                failures += (failures.empty() ? "" : "; ") + left.text;
            } else if (left.module == module) {
                changes.push_back(left.text);
            }
        }
        TestReport report;
        if (module == culprit) {
            report =
                TestReport::ended(test.name, ending ? ending->status : TestStatus::Crashed, cause);
            report.cyclesPassed = position;
        } else if (!failures.empty()) {
            report = TestReport::ended(test.name, TestStatus::Failed, failures);
            report.cyclesPassed = failedAt;
        } else {
            report = TestReport::ended(test.name, TestStatus::Skipped,
                                       "not run to its end: the process ended " + where);
        }
        report.stateChanges = std::move(changes);
        for (const auto& [whose, change] : progress.changes) {
            if (whose == module) {
                report.changes.push_back(change);
            }
        }
        reports.push_back(std::move(report));
    }
    return reports;
}

std::vector<StreamOutput> outputOf(const process::Captured& out, const process::Captured& err) {
    std::vector<StreamOutput> output;
    for (const auto& [stream, captured] :
         {std::pair{"standard output", &out}, std::pair{"standard error", &err}}) {
        if (captured->bytes > 0) {
            output.push_back(StreamOutput{stream, captured->bytes, captured->head});
        }
    }
    return output;
}

}  // namespace host
