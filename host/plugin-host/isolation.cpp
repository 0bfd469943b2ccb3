#include "isolation.h"

#include <chrono>
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

std::string seconds(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

}  // namespace

TestReport unfinishedReport(const Options& options, const ContractTest& test,
                            const ChildProgress& progress,
                            const process::Termination& termination) {
    const Step step = progress.steps.empty() ? Step::Load : progress.steps.back();
    std::string cause;
    TestStatus status = TestStatus::Crashed;
    if (termination.timedOut) {
        status = TestStatus::TimedOut;
        cause = "did not finish within " + seconds(options.timeoutSeconds) + " s and was killed";
    } else if (termination.crashed) {
        cause = "crashed with " + termination.description;
    } else {
        cause = "ended without a report (" + termination.description + ")";
    }
    cause += std::string(" in ") + toString(step);
    if (options.cycles > 1 && test.reportsCycles) {
        cause += " (cycle " + std::to_string(progress.cycle) + ")";
    }
    TestReport report = TestReport::ended(test.name, status, cause);
    report.descriptor = progress.descriptor;
    for (const Step started : progress.steps) {
        report.step(started) = StepStatus::Passed;
    }
    report.step(step) = termination.timedOut ? StepStatus::TimedOut : StepStatus::Crashed;
    report.cyclesPassed = progress.cycle > 0 ? progress.cycle - 1 : 0;
    return report;
}

TestReport runIsolated(const Options& options, const ContractTest& test) {
    const auto reportPath = uniqueReportPath();
    process::Termination termination;
    try {
        // The child writes a line as it starts each step, so a report file
        // that stops growing is a step that has not finished.
        const process::Watchdog watchdog{
            std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000.0)),
            [&reportPath] {
                std::error_code error;
                const auto size = std::filesystem::file_size(reportPath, error);
                return error ? std::uintmax_t{0} : size;
            }};
        termination = process::run(process::currentExecutable(),
                                   childArguments(options, test.name, reportPath), {}, watchdog);
    } catch (const process::ProcessError& error) {
        std::error_code ignored;
        std::filesystem::remove(reportPath, ignored);
        TestReport report =
            TestReport::ended(test.name, TestStatus::Failed,
                              std::string("cannot start the isolated run: ") + error.what());
        report.outcome = Outcome::Unusable;
        return report;
    }
    ChildProgress progress = readProgress(reportPath);
    std::error_code ignored;
    std::filesystem::remove(reportPath, ignored);
    if (progress.finalReport) {
        return *progress.finalReport;
    }
    return unfinishedReport(options, test, progress, termination);
}

int runAsChild(const Options& options) {
    process::endQuietlyOnCrash();
    ProgressWriter writer(options.childReport);
    const ContractTest* test = findContractTest(options.tests.front());
    if (!writer.good() || test == nullptr) {
        return static_cast<int>(Outcome::Unusable);
    }
    const TestReport report = runContractTest(*test, options, writer);
    writer.finished(report);
    return static_cast<int>(report.outcome);
}

}  // namespace host
