#include "options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>

#include "contract_tests.h"
#include "process/process.h"
#include "warnings.h"

namespace host {

namespace {
constexpr const char* kChildReportOption = "--child-report";

std::pair<std::string, std::string> splitPreset(const std::string& text) {
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        throw UsageError("--set takes NAME=VALUE, got \"" + text + "\"");
    }
    return {text.substr(0, equals), text.substr(equals + 1)};
}
}  // namespace

std::optional<Options> parseOptions(const std::vector<std::string>& arguments) {
    CLI::App app{
        "Loads a plugin module the way the BakkesMod host does and runs the named tests of the\n"
        "module contract on it, each in a process of its own: checks its descriptor, drives its\n"
        "lifecycle, shows which console variables it changed and proves that it let go of\n"
        "everything it was given.",
        "plugin-host"};
    Options options;
    std::vector<std::string> presets;
    std::string module;
    std::string childReport;
    std::vector<std::string> tests;
    bool listTests = false;
    std::vector<std::string> testNames;
    for (const auto& test : contractTests()) {
        testNames.push_back(test.name);
    }
    app.add_option("--set", presets,
                   "Register a console variable, or preset one, before the plugin loads")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    app.add_option("--cycles", options.cycles,
                   "Repeat the whole load-to-unload cycle N times in one process")
        ->type_name("N")
        ->check(CLI::Range(1, 100000000));
    auto* timeout =
        app.add_option("--timeout", options.timeoutSeconds,
                       "Kill the plugin when one step (load, getPlugin, onLoad, ...) takes longer "
                       "than SECONDS; 0 waits for ever")
            ->type_name("SECONDS")
            ->capture_default_str()
            ->check(CLI::NonNegativeNumber);
    app.add_flag("--json", options.json, "Print one JSON report instead of text");
    app.add_flag("--strict", options.strict, "Fail (exit code 1) on any warning");
    app.add_option("--test", tests, "Run only this test (repeatable); see --list-tests")
        ->type_name("NAME")
        ->allow_extra_args(false)
        ->check(CLI::IsMember(testNames));
    app.add_flag("--list-tests", listTests, "List the tests, with what each checks, and exit");
    app.add_flag("--in-process", options.inProcess,
                 "Run the tests one after another in this process (for a debugger); a crash "
                 "then ends the host");
    app.add_option(kChildReportOption, childReport)->group("");  // set by the parent only
    app.add_option("MODULE", module, "The plugin module (.so or .dll) to load");
    app.footer(
        warningsHelp() +
        "\nExit codes: 0 every test passed (warnings or not, unless --strict); 1 a test failed,\n"
        "crashed or timed out (the plugin misbehaved) or, with --strict, there was a warning;\n"
        "2 the module cannot be used, or bad usage.");
    app.set_version_flag("--version", "plugin-host 1.0 (host sdk level 95)");

    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return std::nullopt;
    } catch (const CLI::CallForVersion&) {
        std::cout << app.version() << '\n';
        return std::nullopt;
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    if (listTests) {
        for (const auto& test : contractTests()) {
            std::cout << test.name << std::string(22 - std::string(test.name).size(), ' ')
                      << test.checks << '\n';
        }
        return std::nullopt;
    }
    if (module.empty()) {
        throw UsageError("MODULE is required");
    }
    // The chosen tests run in the order they are listed, once each.
    for (const auto& name : testNames) {
        if (std::find(tests.begin(), tests.end(), name) != tests.end()) {
            options.tests.push_back(name);
        }
    }
    if (timeout->count() > 0 && options.timeoutSeconds > 0 && options.inProcess) {
        throw UsageError("--timeout needs the isolated run and cannot go with --in-process");
    }
    for (const auto& preset : presets) {
        options.presets.push_back(splitPreset(preset));
    }
    options.module = std::filesystem::absolute(process::pathFromUtf8(module)).lexically_normal();
    if (!childReport.empty()) {
        options.childReport = process::pathFromUtf8(childReport);
    }
    return options;
}

std::vector<std::string> childArguments(const Options& options, const std::string& test,
                                        const std::filesystem::path& reportFile) {
    std::vector<std::string> arguments{kChildReportOption, process::pathToUtf8(reportFile),
                                       "--test",           test,
                                       "--cycles",         std::to_string(options.cycles)};
    for (const auto& [name, value] : options.presets) {
        arguments.push_back("--set");
        arguments.push_back(name + "=" + value);
    }
    arguments.push_back("--");
    arguments.push_back(process::pathToUtf8(options.module));
    return arguments;
}

}  // namespace host
