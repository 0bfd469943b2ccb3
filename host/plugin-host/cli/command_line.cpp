#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "catalog.h"
#include "model.h"
#include "process/process.h"
#include "tagged_sequence.h"
#include "warnings.h"

namespace host {

namespace {

std::pair<std::string, std::string> splitPreset(const std::string& text) {
    const auto equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        throw UsageError("--set takes NAME=VALUE with a NAME, got \"" + text + "\"");
    }
    return {text.substr(0, equals), text.substr(equals + 1)};
}

// 0, or a plain finite number of seconds in the range the watchdog can keep.
double parseTimeout(const std::string& text) {
    const std::string range =
        "--timeout takes 0 (no limit) or 0.001 to 86400 seconds, got \"" + text + "\"";
    if (text.empty() || std::isspace(static_cast<unsigned char>(text.front())) != 0) {
        throw UsageError(range);
    }
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(seconds)) {
        throw UsageError(range);
    }
    if (seconds != 0 && !(seconds >= kMinStepTimeoutSeconds && seconds <= kMaxStepTimeoutSeconds)) {
        throw UsageError(range);
    }
    return seconds;
}

bool isNumber(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A folder the children may write: one that is there, by the path with no
// link left in it, as the file system is bound.
std::filesystem::path writableFolder(const std::string& text) {
    std::error_code error;
    const std::filesystem::path folder =
        std::filesystem::canonical(process::pathFromUtf8(text), error);
    if (error) {
        throw UsageError("--writable " + text + ": " + error.message());
    }
    if (!std::filesystem::is_directory(folder, error)) {
        throw UsageError("--writable " + text + ": not a folder");
    }
    return folder;
}

int parseJobs(const std::string& text) {
    int jobs = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), jobs);
    if (!isNumber(text) || error != std::errc() || end != text.data() + text.size() || jobs < 1 ||
        jobs > kMaxJobs) {
        throw UsageError("--jobs takes a number of children from 1 to " + std::to_string(kMaxJobs) +
                         ", got \"" + text + "\"");
    }
    return jobs;
}

int parseExplore(const std::string& text) {
    int count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (!isNumber(text) || error != std::errc() || end != text.data() + text.size() || count < 1 ||
        count > kMaxExplore) {
        throw UsageError("--explore takes a number of sequences from 1 to " +
                         std::to_string(kMaxExplore) + ", got \"" + text + "\"");
    }
    return count;
}

// --explore, --seed and --sequence: a run of sequences instead of the named tests.
void exploreOptions(const CLI::App& app, Options& options, const std::string& seed,
                    const std::string& sequence, const std::vector<std::string>& tests) {
    if (app.count("--seed") > 0) {
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(seed.data(), seed.data() + seed.size(), value);
        if (options.explore == 0) {
            throw UsageError("--seed goes with --explore");
        }
        if (!isNumber(seed) || error != std::errc() || end != seed.data() + seed.size()) {
            throw UsageError("--seed takes a number from 0 to 18446744073709551615, got \"" + seed +
                             "\"");
        }
        options.seed = value;
    }
    if (app.count("--sequence") > 0) {
        if (options.explore > 0) {
            throw UsageError("--sequence runs one sequence and cannot go with --explore");
        }
        // Which modules a tagged operation may name is known once the
        // run's folders are listed; its form and legality, now.
        const std::string error = options.together
                                      ? parseTaggedSequence(sequence, std::nullopt).error
                                      : parseSequence(sequence).error;
        if (!error.empty()) {
            throw UsageError("--sequence: " + error);
        }
        options.sequence = sequence;
    }
    const char* what = options.explore > 0 ? "--explore" : "--sequence";
    if (options.explore == 0 && options.sequence.empty()) {
        return;
    }
    if (!tests.empty()) {
        throw UsageError(std::string("--test chooses among the named tests and cannot go with ") +
                         what);
    }
    if (app.count("--cycles") > 0) {
        throw UsageError(std::string("--cycles repeats the lifecycle and cannot go with ") + what);
    }
    if (options.explore > 0 && options.inProcess) {
        throw UsageError(
            "--explore runs each sequence in a child process and cannot go with --in-process");
    }
}

constexpr const char* kDescription =
    "Loads a plugin module the way the BakkesMod host does and runs the named tests of the\n"
    "module contract on it, each in a process of its own: checks its descriptor, drives its\n"
    "lifecycle, shows which console variables it changed and proves that it let go of\n"
    "everything it was given.";

std::string helpFooter() {
    std::string text = warningsHelp() + "\nExit codes:";
    for (const auto& [code, meaning] : exitCodes()) {
        text += "\n  " + std::to_string(code) + " " + meaning;
    }
    return text;
}
}  // namespace

const char* programDescription() {
    return kDescription;
}

const std::vector<std::pair<int, std::string>>& exitCodes() {
    static const std::vector<std::pair<int, std::string>> codes{
        {0, "every test passed (warnings or not, unless --strict)"},
        {1,
         "a test failed, crashed or timed out (the plugin misbehaved) or, with --strict, "
         "there was a warning"},
        {2, "the module cannot be used, or bad usage"},
        {3,
         "plugin-host's own failure (a report it cannot write, a child it cannot start, "
         "containment the system refuses under --contain), never the plugin's"}};
    return codes;
}

namespace {

// Where the options' values go as the command line is parsed.
struct Values {
    Options options;
    std::vector<std::string> presets;
    std::vector<std::string> modules;
    std::string timeout;
    std::string childReport;
    std::string junitFile;
    std::string htmlFile;
    std::vector<std::string> tests;
    std::vector<std::string> skip;
    std::string jobs;
    std::string explore;
    std::string seed;
    std::string sequence;
    std::vector<std::string> writable;
    bool listTests = false;
};

// The one description of plugin-host's command line, which --help, the
// manual page and the shell's completion all read.
void describe(CLI::App& app, Values& values) {
    // A path may start with a slash on Windows too: options are --NAME only.
    app.allow_windows_style_options(false);
    Options& options = values.options;
    std::vector<std::string> testNames;
    for (const auto& test : contractTests()) {
        testNames.push_back(test.name);
    }
    // Options that take one value, or say one thing, make no sense twice.
    const auto once = [](CLI::Option* option) {
        return option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    };
    app.add_option("--set", values.presets,
                   "Register a console variable, or preset one, before the plugin loads")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    once(app.add_option("--cycles", options.cycles,
                        "Repeat the whole load-to-unload cycle N times in one process")
             ->type_name("N")
             ->check(CLI::Range(1, kMaxCycles)));
    once(app.add_option("--timeout", values.timeout,
                        "Kill the plugin when one step (load, getPlugin, onLoad, ...) takes "
                        "longer than SECONDS (0.001 to 86400); 0 waits for ever")
             ->type_name("SECONDS")
             ->default_str("30"));
    once(app.add_flag("--json", options.json, "Print one JSON report instead of text"));
    once(app.add_flag("--strict", options.strict, "Fail (exit code 1) on any warning"));
    once(app.add_option("--junit", values.junitFile,
                        "Also write the results as a JUnit XML report to FILE, for CI servers")
             ->type_name("FILE"));
    once(app.add_option("--html", values.htmlFile,
                        "Also write the results as one self-contained HTML page to FILE, to look "
                        "at: modules by tests, warnings, changed variables, memory over cycles")
             ->type_name("FILE"));
    app.add_option("--test", values.tests, "Run only this test (repeatable); see --list-tests")
        ->type_name("NAME")
        ->allow_extra_args(false)
        ->check(CLI::IsMember(testNames));
    app.add_option("--skip", values.skip,
                   "Leave this test out (repeatable): it is reported skipped")
        ->type_name("NAME")
        ->allow_extra_args(false)
        ->check(CLI::IsMember(testNames));
    once(app.add_option("--jobs", values.jobs,
                        "Run at most N children at once, across all modules (default: the "
                        "number of cores)")
             ->type_name("N"));
    once(app.add_flag("--list-tests", values.listTests,
                      "List the tests, with what each checks and what a failure usually means"));
    once(app.add_flag("--in-process", options.inProcess,
                      "Run the tests one after another in this process (for a debugger); a "
                      "crash then ends the host"));
    once(app.add_option("--explore", values.explore,
                        "Run N (default 200) random sequences of the host's operations, each "
                        "held to the holder's state table after every operation; a failing one "
                        "is shrunk to the shortest that still fails")
             ->type_name("[N]")
             ->expected(0, 1));
    once(app.add_option("--seed", values.seed,
                        "Where --explore's sequences come from: the same seed gives the same "
                        "sequences (a random one is printed when none is given)")
             ->type_name("S"));
    once(app.add_option("--sequence", values.sequence,
                        "Run one sequence of the operations load, unload, getPlugin, copy, "
                        "release, fill, onLoad, onUnload and deleteMe, from a loaded module, "
                        "e.g. getPlugin,copy,deleteMe,getPlugin,unload; with --together each "
                        "names its module by its place in the run, e.g. "
                        "1:getPlugin,2:getPlugin,1:unload")
             ->type_name("OPS"));
    once(app.add_flag("--together", options.together,
                      "Also hold all the modules side by side in one process, as the host holds "
                      "a plugin folder, and blame each fault on the module that made it (the "
                      "test together); with --explore or --sequence, sequences over all the "
                      "modules instead"));
    once(app.add_flag("--allow-network", options.allowNetwork,
                      "Let the plugin reach the network, which its tests' children otherwise "
                      "cannot"));
    app.add_option("--writable", values.writable,
                   "Let the plugin write into this folder (repeatable): the file system is "
                   "otherwise read-only to it but for a temporary folder of each test's own")
        ->type_name("PATH")
        ->allow_extra_args(false);
    once(app.add_flag("--contain", options.contain,
                      "Run no test unless every part of the containment is in place (exit code "
                      "3 when the system refuses one)"));
    // Set by the parent only.
    once(app.add_option(kChildReportOption, values.childReport)->group(""));
    app.add_option("MODULE", values.modules,
                   "The plugin modules (.so or .dll) to load, or folders of them (repeatable)");
    app.footer(helpFooter());
    app.set_version_flag("--version", "plugin-host " VELQUIST_VERSION " (host sdk level 95)");
}

}  // namespace

std::vector<OptionHelp> optionsHelp() {
    CLI::App app{kDescription, "plugin-host"};
    Values values;
    describe(app, values);
    std::vector<OptionHelp> help;
    for (const CLI::Option* option : app.get_options()) {
        if (option->get_group().empty()) {
            continue;  // not the user's
        }
        OptionHelp one;
        for (const auto& name : option->get_snames()) {
            one.names.push_back("-" + name);
        }
        for (const auto& name : option->get_lnames()) {
            one.names.push_back("--" + name);
        }
        if (one.names.empty()) {
            one.names.push_back(option->get_name());  // the positional MODULE
            one.positional = true;
        }
        // What it takes, without the checks CLI11 adds to it ("N:INT in [1 - ...]").
        const std::string value = option->get_type_name();
        one.value = value.substr(0, value.find(':'));
        one.description = option->get_description();
        help.push_back(std::move(one));
    }
    return help;
}

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
    CLI::App app{kDescription, "plugin-host"};
    CommandLine line;
    Values values;
    describe(app, values);
    Options& options = line.options;
    std::vector<std::string>& presets = values.presets;
    std::vector<std::string>& modules = values.modules;
    std::string& timeout = values.timeout;
    std::string& childReport = values.childReport;
    std::string& junitFile = values.junitFile;
    std::vector<std::string>& tests = values.tests;
    std::string& explore = values.explore;
    std::string& seed = values.seed;
    std::string& sequence = values.sequence;
    std::vector<std::string> testNames;
    for (const auto& test : contractTests()) {
        testNames.push_back(test.name);
    }
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        line.command = Command::Show;
        line.text = app.help();
        return line;
    } catch (const CLI::CallForVersion&) {
        line.command = Command::Show;
        line.text = app.version() + "\n";
        return line;
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }
    options = values.options;
    if (values.listTests) {
        line.command = Command::ListTests;
        return line;
    }
    if (app.count("--explore") > 0) {
        // --explore takes its number or none: a word right after it that does
        // not begin as a number is the first module.
        if (!explore.empty() && (explore.front() < '0' || explore.front() > '9')) {
            modules.insert(modules.begin(), explore);
            explore.clear();
        }
        options.explore = explore.empty() ? kDefaultExplore : parseExplore(explore);
    }
    exploreOptions(app, options, seed, sequence, tests);
    if (options.together && !tests.empty()) {
        throw UsageError(
            "--together runs its own test beside all the others and cannot go with "
            "--test");
    }
    if (!values.skip.empty() && !tests.empty()) {
        throw UsageError("--skip leaves tests out of all of them and cannot go with --test");
    }
    if (!values.skip.empty() && (options.explore > 0 || !sequence.empty())) {
        throw UsageError(std::string("--skip leaves out named tests and cannot go with ") +
                         (options.explore > 0 ? "--explore" : "--sequence"));
    }
    modules.erase(std::remove(modules.begin(), modules.end(), std::string()), modules.end());
    if (modules.empty()) {
        throw UsageError("MODULE is required");
    }
    // The chosen tests run in the order they are listed, once each.
    for (const auto& name : testNames) {
        if (std::find(tests.begin(), tests.end(), name) != tests.end()) {
            options.tests.push_back(name);
        }
        if (std::find(values.skip.begin(), values.skip.end(), name) != values.skip.end()) {
            options.skip.push_back(name);
        }
    }
    if (options.skip.size() == testNames.size() && !options.together) {
        throw UsageError("--skip leaves no test to run");
    }
    if (app.count("--jobs") > 0) {
        options.jobs = parseJobs(values.jobs);
    }
    if (app.count("--timeout") > 0) {
        options.timeoutSeconds = parseTimeout(timeout);
        if (options.timeoutSeconds > 0 && options.inProcess) {
            throw UsageError("--timeout needs the isolated run and cannot go with --in-process");
        }
    }
    for (const auto& preset : presets) {
        auto split = splitPreset(preset);
        const bool repeated = std::any_of(options.presets.begin(), options.presets.end(),
                                          [&](const auto& p) { return p.first == split.first; });
        if (repeated) {
            throw UsageError("--set " + split.first + " is given twice");
        }
        options.presets.push_back(std::move(split));
    }
    if (app.count(kChildReportOption) > 0) {
        // Only plugin-host itself starts a child, with exactly these.
        const std::size_t runs = options.tests.size() +
                                 (options.sequence.empty() || options.together ? 0 : 1) +
                                 (options.together ? 1 : 0);
        if (childReport.empty() || runs != 1 || options.explore > 0 || options.inProcess ||
            (modules.size() != 1 && !options.together)) {
            throw UsageError(std::string(kChildReportOption) +
                             " takes a file and goes with exactly one --test, --sequence or "
                             "--together");
        }
        if (options.together) {
            for (const auto& module : modules) {
                options.modules.push_back(
                    std::filesystem::absolute(process::pathFromUtf8(module)).lexically_normal());
            }
        }
        options.childReport = process::pathFromUtf8(childReport);
    }
    for (const auto& folder : values.writable) {
        options.writable.push_back(writableFolder(folder));
    }
    if (options.inProcess) {
        for (const char* contained : {"--allow-network", "--writable", "--contain"}) {
            if (app.count(contained) > 0) {
                throw UsageError(std::string(contained) +
                                 " is about the isolated run's containment and cannot go with "
                                 "--in-process, which has none");
            }
        }
    }
    if (app.count("--junit") > 0) {
        if (junitFile.empty()) {
            throw UsageError("--junit takes a file name");
        }
        options.junitFile = process::pathFromUtf8(junitFile);
    }
    if (app.count("--html") > 0) {
        if (values.htmlFile.empty()) {
            throw UsageError("--html takes a file name");
        }
        options.htmlFile = process::pathFromUtf8(values.htmlFile);
    }
    line.modules = modules;
    options.module =
        std::filesystem::absolute(process::pathFromUtf8(modules.front())).lexically_normal();
    return line;
}

}  // namespace host
