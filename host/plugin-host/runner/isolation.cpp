#include "isolation.h"

#include <iostream>
#include <optional>
#include <system_error>

#include "child_ending.h"
#include "crypto/mac.h"
#include "process/containment.h"
#include "process/temporary_file.h"
#include "provocations.h"
#include "record_seal.h"
#include "together.h"

namespace host {

namespace {

#if defined(_WIN32)
constexpr const char* kTemporaryFolderHint = "set TMP to a folder plugin-host can write";
#else
constexpr const char* kTemporaryFolderHint = "set TMPDIR to a folder plugin-host can write";
#endif

}  // namespace

namespace {

// How a child ended, or why it could not be started (plugin-host's trouble).
struct ChildRun {
    std::optional<TestReport> hostFailure;
    ChildProgress progress;
    process::Termination termination;
    std::filesystem::path folder;  // of its report file, when it is not its own
};

ChildRun runChild(const Options& options, const ContractTest& test,
                  const std::atomic<bool>* cancelled, std::atomic<int>* cycle) {
    ChildRun run;
    // The file the child reports into is made here first: a folder that
    // cannot take it is plugin-host's trouble, not the plugin's.
    const auto hostFailure = [&test, &run](std::string cause) {
        TestReport report = TestReport::ended(test.name, TestStatus::Failed, std::move(cause));
        report.outcome = Outcome::HostFailure;
        run.hostFailure = std::move(report);
        return std::move(run);
    };
    std::filesystem::path& folder = run.folder;
    std::optional<process::TemporaryFile> file;
    if (process::sharedFileMadeWithChild()) {
        file.emplace();  // the fork server makes it, in the child's own folder
    } else {
        try {
            folder = std::filesystem::temp_directory_path();
        } catch (const std::filesystem::filesystem_error& error) {
            return hostFailure(std::string("cannot write its report file: no folder for temporary "
                                           "files (") +
                               error.code().message() + "); " + kTemporaryFolderHint);
        }
        // Goes with the last of the two processes that hold it, even when
        // both are killed: nothing is ever left in the folder.
        try {
            file.emplace(folder);
        } catch (const std::system_error& error) {
            return hostFailure("cannot write its report file in " + process::pathToUtf8(folder) +
                               " (" + error.code().message() + "); " + kTemporaryFolderHint);
        }
    }
    // Whatever is said below has to be plugin-host's, made with a key no
    // file, environment or command line holds.
    std::optional<RecordSeal> seal;
    try {
        seal.emplace(crypto::randomKey(), test.name);
    } catch (const crypto::CryptoError& error) {
        return hostFailure(std::string("cannot seal the isolated run's report: ") + error.what());
    }
    ProgressReader reader(&*file, *seal);
    try {
        // Only complete records are progress: a step that has written none
        // for the limit has not finished, whatever else the file gets. Each
        // is timed from the moment the child wrote the record that began it.
        const process::Watchdog watchdog{
            std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000.0)),
            [&reader, cycle] {
                reader.poll();
                if (cycle != nullptr) {
                    cycle->store(reader.progress().cycle, std::memory_order_relaxed);
                }
                return reader.progress().lastRecordAt;
            },
            [&reader, cancelled] {
                return reader.progress().garbageBytes > kGarbageLimit ||
                       (cancelled != nullptr && cancelled->load());
            },
            std::chrono::milliseconds(static_cast<long long>(kChildStartSeconds * 1000.0))};
        process::Redirect capture;
        capture.capture = true;
        capture.standardInput = seal->key();
        // Its word that it cannot report, however much the plugin printed first.
        capture.soughtInError = seal->cannotReportLine();
        // It reaches the file by a path of its own: it sees none of ours.
        capture.shared = &*file;
        run.termination = process::runThisProgram(
            childArguments(options, test.name, process::sharedPath(*file)), capture, watchdog);
    } catch (const process::ProcessError& error) {
        return hostFailure(std::string("cannot start the isolated run: ") + error.what());
    }
    run.progress = reader.finish();
    return run;
}

}  // namespace

TestReport runIsolated(const Options& options, const ContractTest& test,
                       const std::atomic<bool>* cancelled, std::string* processMark,
                       std::atomic<int>* cycle) {
    ChildRun run = runChild(options, test, cancelled, cycle);
    if (run.hostFailure) {
        return std::move(*run.hostFailure);
    }
    if (processMark != nullptr) {
        *processMark = run.termination.mark;
    }
    return judgeChild(options, test, run.progress, run.termination, run.folder);
}

std::vector<TestReport> runIsolatedTogether(const Options& options,
                                            const std::atomic<bool>* cancelled,
                                            std::string* processMark) {
    ChildRun run = runChild(options, togetherTest(), cancelled, nullptr);
    if (run.hostFailure) {
        return std::vector<TestReport>(options.modules.size(), *run.hostFailure);
    }
    if (processMark != nullptr) {
        *processMark = run.termination.mark;
    }
    return judgeTogether(options, run.progress, run.termination, run.folder);
}

int runAsChild(const Options& options) {
    process::endQuietlyOnCrash();
    process::endWithParent();
    // Before anything of the plugin's runs, and with nothing left to read.
    const auto key = process::readStandardInput(crypto::kKeyBytes);
    const ContractTest* test = options.together           ? &togetherTest()
                               : options.sequence.empty() ? findContractTest(options.tests.front())
                                                          : &exploreTest();
    if (!key || key->size() != crypto::kKeyBytes || test == nullptr) {
        std::cerr << "plugin-host (isolated run): no key to seal the report with" << std::endl;
        return kChildCannotReport;
    }
    const RecordSeal seal(*key, test->name);
    ProgressWriter writer(options.childReport, seal);
    if (writer.good() && options.together) {
        Outcome worst = Outcome::Passed;
        for (const TestReport& report : runTogether(options, writer)) {
            writer.finished(report);
            worst = std::max(worst, report.outcome);
        }
        provokeLeftHooks(writer);
        if (writer.good()) {
            return static_cast<int>(worst);
        }
    } else if (writer.good()) {
        const TestReport report = runContractTest(*test, options, writer);
        writer.finished(report);
        provokeLeftHooks(writer);
        if (writer.good()) {
            return static_cast<int>(report.outcome);
        }
    }
    std::cerr << seal.cannotReportLine() << std::endl;
    return kChildCannotReport;
}

std::vector<std::string> childArguments(const Options& options, const std::string& test,
                                        const std::filesystem::path& reportFile) {
    std::vector<std::string> arguments{kChildReportOption, process::pathToUtf8(reportFile)};
    if (test == togetherTest().name && !options.sequence.empty()) {
        arguments.insert(arguments.end(), {"--together", "--sequence", options.sequence});
    } else if (test == togetherTest().name) {
        arguments.insert(arguments.end(),
                         {"--together", "--cycles", std::to_string(options.cycles)});
    } else if (options.sequence.empty()) {
        arguments.insert(arguments.end(),
                         {"--test", test, "--cycles", std::to_string(options.cycles)});
    } else {
        arguments.insert(arguments.end(), {"--sequence", options.sequence});
    }
    for (const auto& [name, value] : options.presets) {
        arguments.push_back("--set");
        arguments.push_back(name + "=" + value);
    }
    arguments.push_back("--");
    if (test == togetherTest().name) {
        for (const auto& module : options.modules) {
            arguments.push_back(process::pathToUtf8(module));
        }
    } else {
        arguments.push_back(process::pathToUtf8(options.module));
    }
    return arguments;
}

}  // namespace host
