#include "isolation.h"

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "process/process.h"
#include "warnings.h"

namespace host {

namespace {

// One line per event, flushed at once so that it survives a crash right after:
//   step CYCLE NAME       a step is about to be taken
//   descriptor JSON       the descriptor, once read
//   report JSON           the final report
class ReportFileWriter final : public StepObserver {
public:
    explicit ReportFileWriter(const std::filesystem::path& path) : out_(path, std::ios::trunc) {}

    void stepStarted(int cycle, Step step) override {
        out_ << "step " << cycle << ' ' << toString(step) << '\n' << std::flush;
    }
    void descriptorRead(const DescriptorInfo& descriptor) override {
        out_ << "descriptor " << nlohmann::ordered_json(descriptor).dump() << '\n' << std::flush;
    }
    void finished(const Report& report) {
        out_ << "report " << nlohmann::ordered_json(report).dump() << '\n' << std::flush;
    }
    bool good() const { return out_.good(); }

private:
    std::ofstream out_;
};

std::filesystem::path uniqueReportPath() {
    std::random_device entropy;
    std::mt19937_64 generator(
        entropy() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::ostringstream name;
    name << "plugin-host-" << std::hex << generator() << ".report";
    return std::filesystem::temp_directory_path() / name.str();
}

// What the parent learns from the child's report file.
struct ChildProgress {
    std::optional<Report> finalReport;
    std::optional<DescriptorInfo> descriptor;
    int cycle = 0;
    std::vector<Step> steps;  // started in that cycle, in order
};

ChildProgress readProgress(const std::filesystem::path& path) {
    ChildProgress progress;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const auto space = line.find(' ');
        const std::string kind = line.substr(0, space);
        const std::string rest =
            space == std::string::npos ? std::string() : line.substr(space + 1);
        try {
            if (kind == "step") {
                std::istringstream fields(rest);
                int cycle = 0;
                std::string name;
                fields >> cycle >> name;
                if (cycle != progress.cycle) {
                    progress.cycle = cycle;
                    progress.steps.clear();
                }
                if (const auto step = stepFromString(name)) {
                    progress.steps.push_back(*step);
                }
            } else if (kind == "descriptor") {
                progress.descriptor = nlohmann::ordered_json::parse(rest).get<DescriptorInfo>();
            } else if (kind == "report") {
                progress.finalReport = nlohmann::ordered_json::parse(rest).get<Report>();
            }
        } catch (const nlohmann::ordered_json::exception&) {
            // A line cut short by a crash: what came before still stands.
        }
    }
    return progress;
}

Report crashedReport(const Options& options, const ContractTest& test,
                     const ChildProgress& progress, const process::Termination& termination) {
    Report report;
    report.module = process::pathToUtf8(options.module);
    report.cyclesRequested = options.cycles;
    report.descriptor = progress.descriptor;
    if (progress.descriptor) {
        report.warnings = descriptorWarnings(*progress.descriptor);
    }
    report.outcome = Outcome::Misbehaved;
    const Step step = progress.steps.empty() ? Step::Load : progress.steps.back();
    for (const Step started : progress.steps) {
        report.status(started) = StepStatus::Passed;
    }
    report.status(step) = termination.timedOut ? StepStatus::TimedOut : StepStatus::Crashed;
    report.cyclesPassed = progress.cycle > 0 ? progress.cycle - 1 : 0;
    std::string how;
    if (termination.timedOut) {
        std::ostringstream limit;
        limit << options.timeoutSeconds;
        how = "did not finish within " + limit.str() + " s and was killed";
    } else if (termination.crashed) {
        how = "crashed with " + termination.description;
    } else {
        how = "ended without a report (" + termination.description + ")";
    }
    report.cause = how + " in " + toString(step);
    if (options.cycles > 1 && test.run == runLifecycleTest) {
        report.cause += " (cycle " + std::to_string(progress.cycle) + ")";
    }
    report.tests.push_back(
        TestResult{test.name, termination.timedOut ? TestStatus::TimedOut : TestStatus::Crashed,
                   report.cause});
    return report;
}

}  // namespace

Report runIsolated(const Options& options, const ContractTest& test) {
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
        Report report;
        report.module = process::pathToUtf8(options.module);
        report.cyclesRequested = options.cycles;
        report.outcome = Outcome::Unusable;
        report.cause = std::string("cannot start the isolated run: ") + error.what();
        report.tests.push_back(TestResult{test.name, TestStatus::Failed, report.cause});
        return report;
    }
    ChildProgress progress = readProgress(reportPath);
    std::error_code ignored;
    std::filesystem::remove(reportPath, ignored);
    if (progress.finalReport) {
        return *progress.finalReport;
    }
    return crashedReport(options, test, progress, termination);
}

int runAsChild(const Options& options) {
    process::endQuietlyOnCrash();
    ReportFileWriter writer(options.childReport);
    if (!writer.good()) {
        return static_cast<int>(Outcome::Unusable);
    }
    const ContractTest* test = findContractTest(options.tests.front());
    if (test == nullptr) {
        return static_cast<int>(Outcome::Unusable);
    }
    const Report report = runContractTest(*test, options, writer);
    writer.finished(report);
    return static_cast<int>(report.outcome);
}

}  // namespace host
