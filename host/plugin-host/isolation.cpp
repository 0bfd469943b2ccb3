#include "isolation.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <random>
#include <sstream>

namespace host {

namespace {

std::filesystem::path uniqueReportPath() {
    std::random_device entropy;
    std::mt19937_64 generator(
        entropy() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::ostringstream name;
    name << "plugin-host-" << std::hex << generator() << ".report";
    return std::filesystem::temp_directory_path() / name.str();
}

#if defined(_WIN32)
constexpr const char* kTemporaryFolderHint = "set TMP to a folder plugin-host can write";
#else
constexpr const char* kTemporaryFolderHint = "set TMPDIR to a folder plugin-host can write";
#endif

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
        cause += " (cycle " + std::to_string(progress.cycle) + ")";
    }
    return fromProgress(test, progress, step, ending ? ending->status : TestStatus::Crashed,
                        ending ? ending->step : StepStatus::Crashed, cause);
}

std::vector<StreamOutput> outputOf(const process::Termination& termination) {
    std::vector<StreamOutput> output;
    if (termination.standardOutput.bytes > 0) {
        output.push_back(StreamOutput{"standard output", termination.standardOutput.bytes,
                                      termination.standardOutput.head});
    }
    if (termination.standardError.bytes > 0) {
        output.push_back(StreamOutput{"standard error", termination.standardError.bytes,
                                      termination.standardError.head});
    }
    return output;
}

// The report the child wrote, held to how the child then ended: a passing
// test whose process crashed, hung or exited otherwise afterwards did not pass.
TestReport heldToItsEnd(const Options& options, TestReport report,
                        const process::Termination& termination) {
    const auto ending = endingOf(options, termination, static_cast<int>(report.outcome));
    report.step(Step::Exit) = ending ? ending->step : StepStatus::Passed;
    if (ending && report.status == TestStatus::Passed) {
        report.status = ending->status;
        report.outcome = Outcome::Misbehaved;
        report.cause = ending->how + " in exit";
    }
    return report;
}

}  // namespace

TestReport runIsolated(const Options& options, const ContractTest& test,
                       const std::atomic<bool>* cancelled, std::string* processMark) {
    // The file the child reports into is made here first: a folder that
    // cannot take it is plugin-host's trouble, not the plugin's.
    const auto hostFailure = [&test](std::string cause) {
        TestReport report = TestReport::ended(test.name, TestStatus::Failed, std::move(cause));
        report.outcome = Outcome::HostFailure;
        return report;
    };
    std::filesystem::path reportPath;
    try {
        reportPath = uniqueReportPath();
    } catch (const std::filesystem::filesystem_error& error) {
        return hostFailure(std::string("cannot write its report file: no folder for temporary "
                                       "files (") +
                           error.code().message() + "); " + kTemporaryFolderHint);
    }
    if (!process::createEmptyFile(reportPath)) {
        return hostFailure("cannot write its report file " + process::pathToUtf8(reportPath) +
                           " (" + std::strerror(errno) + "); " + kTemporaryFolderHint);
    }
    process::Termination termination;
    ProgressReader reader(reportPath);
    try {
        // Only complete step records are progress: a step that has written
        // none for the limit has not finished, whatever else the file gets.
        const process::Watchdog watchdog{
            std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000.0)),
            [&reader] { return static_cast<std::uintmax_t>(reader.poll()); },
            [&reader, cancelled] {
                return reader.progress().garbageBytes > kGarbageLimit ||
                       (cancelled != nullptr && cancelled->load());
            }};
        process::Redirect capture;
        capture.capture = true;
        termination =
            process::run(process::currentExecutable(),
                         childArguments(options, test.name, reportPath), capture, watchdog);
    } catch (const process::ProcessError& error) {
        std::error_code ignored;
        std::filesystem::remove(reportPath, ignored);
        TestReport report =
            TestReport::ended(test.name, TestStatus::Failed,
                              std::string("cannot start the isolated run: ") + error.what());
        report.outcome = Outcome::HostFailure;
        return report;
    }
    const ChildProgress progress = reader.finish();
    std::error_code ignored;
    std::filesystem::remove(reportPath, ignored);

    TestReport report;
    if (!progress.finalReport && termination.exitCode == kChildCannotReport &&
        termination.standardError.head.find(kChildCannotReportLine) != std::string::npos) {
        report = TestReport::ended(test.name, TestStatus::Failed,
                                   "the isolated run could not write its report to " +
                                       process::pathToUtf8(reportPath) + " (is the disk full?)");
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
        report = heldToItsEnd(options, *progress.finalReport, termination);
    } else {
        report = unfinishedReport(options, test, progress, termination);
    }
    report.output = outputOf(termination);
    report.leftProcesses = termination.leftProcesses;
    if (processMark != nullptr) {
        *processMark = termination.mark;
    }
    return report;
}

int runAsChild(const Options& options) {
    process::endQuietlyOnCrash();
    process::endWithParent();
    ProgressWriter writer(options.childReport);
    const ContractTest* test = findContractTest(options.tests.front());
    if (writer.good() && test != nullptr) {
        const TestReport report = runContractTest(*test, options, writer);
        writer.finished(report);
        if (writer.good()) {
            return static_cast<int>(report.outcome);
        }
    }
    std::cerr << kChildCannotReportLine << std::endl;
    return kChildCannotReport;
}

}  // namespace host
