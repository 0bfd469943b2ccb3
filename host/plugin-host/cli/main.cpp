// plugin-host: stands in for the BakkesMod host so that a plugin module can be
// loaded, driven and checked without starting the game.

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>

#include "catalog.h"
#include "command_line.h"
#include "completion.h"
#include "containment_text.h"
#include "html_report.h"
#include "isolation.h"
#include "junit_report.h"
#include "manual.h"
#include "module_paths.h"
#include "modules_run.h"
#include "process/process.h"
#include "process/terminal.h"
#include "progress_line.h"
#include "report_json.h"
#include "runner.h"
#include "summary_text.h"
#include "tagged_sequence.h"
#include "text_escape.h"
#include "text_output.h"
#include "warnings.h"

namespace {

// Hidden: for the build, which makes the manual page, and for the shell.
constexpr const char* kManPageOption = "--man-page";
constexpr const char* kCompleteOption = "--complete";  // PREVIOUS CURRENT

// What plugin-host printed must have reached its standard output: a report
// lost on a full disk or a closed pipe is plugin-host's failure, never a pass.
int delivered(int code, const std::string& what) {
    std::cout.flush();
    if (std::cout) {
        return code;
    }
    std::cerr << "plugin-host: " << what << ": cannot write to standard output" << std::endl;
    return static_cast<int>(host::Outcome::HostFailure);
}

// The JUnit report is plugin-host's own file: a path it cannot write is its
// own trouble, found before any test runs and again when it writes.
bool writeFile(const std::filesystem::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    return out && out.write(text.data(), static_cast<std::streamsize>(text.size())) && out.flush();
}

std::string reportTrouble(const char* report, const std::filesystem::path& file) {
    const std::string reason = errno != 0 ? std::strerror(errno) : "write failed";
    return std::string("cannot write the ") + report + " report " + process::pathToUtf8(file) +
           " (" + reason + ")";
}

int hostTrouble(const std::string& module, const std::string& cause) {
    std::cerr << host::failureLine(module, cause) << std::endl;
    return static_cast<int>(host::Outcome::HostFailure);
}

// At a terminal, a run that takes a while shows how far it has come. Not in
// plugin-host's own process (--in-process): what reaches standard error there
// while a test runs is taken as the plugin's output.
std::vector<host::RunReport> runShowingProgress(const host::Options& options,
                                                const std::vector<std::filesystem::path>& modules) {
    const std::optional<int> columns = process::standardErrorTerminalColumns();
    if (!columns || options.inProcess) {
        return host::runModules(options, modules);
    }
    host::RunProgress progress(options, modules.size());
    host::ProgressLine line(progress, std::cerr, *columns, {});
    std::vector<host::RunReport> reports = host::runModules(options, modules, &progress);
    line.stop();
    return reports;
}

// One module's report as it is alone: its warnings, then the text (or, in a
// JSON run, the line that says why it did not pass).
void printModule(const host::Options& options, const host::RunReport& report) {
    for (const auto& warning : report.warnings) {
        std::cerr << host::warningLine(report.module, warning) << '\n';
    }
    if (!options.json) {
        host::printText(report, std::cout, std::cerr);
    } else if (report.outcome != host::Outcome::Passed) {
        std::cerr << host::failureLine(report.module, report.cause) << std::endl;
    }
}

int run(const std::vector<std::string>& arguments) {
    // What the installed manual page and the shell's completion ask of the
    // program itself, so that no list of its options or tests is kept twice.
    if (arguments.size() == 1 && arguments[0] == kManPageOption) {
        std::cout << host::manualPage();
        return delivered(0, "the manual page");
    }
    if (arguments.size() == 3 && arguments[0] == kCompleteOption) {
        for (const auto& word : host::completions(arguments[1], arguments[2])) {
            std::cout << word << '\n';
        }
        return delivered(0, "the completions");
    }
    host::CommandLine line;
    try {
        line = host::parseCommandLine(arguments);
    } catch (const host::UsageError& error) {
        std::cerr << "plugin-host: " << error.what() << " (see plugin-host --help)\n";
        return static_cast<int>(host::Outcome::Unusable);
    }
    switch (line.command) {
        case host::Command::Show:
            std::cout << line.text;
            return delivered(0, "the help");
        case host::Command::ListTests:
            std::cout << host::listTestsText();
            return delivered(0, "the list of tests");
        case host::Command::Run:
            break;
    }
    const host::Options& options = line.options;
    if (!options.childReport.empty()) {
        return host::runAsChild(options);
    }

    host::ModuleList list;
    try {
        list = host::listModules(line.modules);
    } catch (const host::BadModulePath& bad) {
        std::cerr << host::failureLine(bad.path(), bad.what()) << std::endl;
        return static_cast<int>(host::Outcome::Unusable);
    }
    for (const auto& note : list.notes) {
        std::cerr << "plugin-host: " << host::escapedText(note) << '\n';
    }
    if (options.together && list.modules.size() < 2) {
        std::cerr << "plugin-host: --together holds two or more modules side by side and was "
                     "given one (see plugin-host --help)\n";
        return static_cast<int>(host::Outcome::Unusable);
    }
    if (options.together && !options.sequence.empty()) {
        const auto parsed = host::parseTaggedSequence(options.sequence, list.modules.size());
        if (!parsed.error.empty()) {
            std::cerr << "plugin-host: --sequence: " << host::escapedText(parsed.error)
                      << " (see plugin-host --help)\n";
            return static_cast<int>(host::Outcome::Unusable);
        }
    }
    const std::string module = process::pathToUtf8(list.modules.front());
    for (const auto& [file, report] :
         {std::pair{&options.junitFile, "JUnit"}, std::pair{&options.htmlFile, "HTML"}}) {
        if (!file->empty() && !process::createEmptyFile(*file)) {
            return hostTrouble(module, reportTrouble(report, *file));
        }
    }
    if (!options.inProcess) {
        // Said once, before any test: what keeps the plugin from the machine
        // is the run's, not a test's.
        host::ContainmentRecord containment;
        try {
            containment = host::containChildren(options);
        } catch (const process::ProcessError& error) {
            return hostTrouble(module,
                               std::string("cannot start the isolated run: ") + error.what());
        }
        const std::string notice = host::containmentNotice(containment);
        if (!notice.empty()) {
            std::cerr << host::escapedText(notice) << std::endl;
            if (options.contain) {
                return static_cast<int>(host::Outcome::HostFailure);
            }
        }
    }

    const auto started = std::chrono::steady_clock::now();
    const std::vector<host::RunReport> reports = runShowingProgress(options, list.modules);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const host::RunReport& report = reports.front();
    const bool many = reports.size() > 1;
    for (const auto& one : reports) {
        printModule(options, one);
    }
    if (options.json) {
        std::cout << (many ? host::modulesJson(reports) : nlohmann::ordered_json(report)).dump(2)
                  << std::endl;
    } else if (many) {
        host::printSummary(reports, seconds, std::cout);
    }
    const int code =
        delivered(static_cast<int>(host::worstOutcome(reports)),
                  host::escapedText(many ? std::string("the summary") : report.module));
    if (!options.junitFile.empty()) {
        errno = 0;
        const std::string xml = many ? host::junitXml(reports, seconds) : host::junitXml(report);
        if (!writeFile(options.junitFile, xml)) {
            return hostTrouble(module, reportTrouble("JUnit", options.junitFile));
        }
    }
    if (!options.htmlFile.empty()) {
        errno = 0;
        if (!writeFile(options.htmlFile, host::htmlReport(reports, seconds))) {
            return hostTrouble(module, reportTrouble("HTML", options.htmlFile));
        }
    }
    if (options.inProcess) {
        process::announceCrashes(nullptr);
        // What crashes the process from here on is a hook the plugin left
        // that only the process's end runs (fiber-local storage callbacks on
        // Windows): the verdict above cannot have seen it.
        process::reportCrashesFromNowOn(
            "plugin-host: " + host::escapedText(report.module) + ": crashed with ",
            " at exit, in a hook the plugin left that only the end of the process runs; run "
            "without --in-process to see which test left it",
            static_cast<int>(host::Outcome::Misbehaved));
    }
    return code;
}

int runGuarded(const std::vector<std::string>& arguments) {
    try {
        return run(arguments);
    } catch (const std::exception& error) {
        // Anything left here is the host's own fault, not the plugin's.
        std::cerr << "plugin-host: internal error: " << error.what() << std::endl;
        return static_cast<int>(host::Outcome::HostFailure);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A test's child, on Linux, is forked from this program's fork server.
    if (const auto served = process::serveForks(argc, argv, runGuarded)) {
        return *served;
    }
    std::vector<std::string> arguments;
    try {
        arguments = process::arguments(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "plugin-host: internal error: " << error.what() << std::endl;
        return static_cast<int>(host::Outcome::HostFailure);
    }
    arguments.erase(arguments.begin());
    return runGuarded(arguments);
}
