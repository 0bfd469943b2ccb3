#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace host {

// How long one step of an isolated run (load, getPlugin, onLoad, ...) may take
// before the plugin is killed: far beyond what any plugin's step needs, and
// short enough that a CI job never waits a minute on a hung plugin.
inline constexpr double kDefaultStepTimeoutSeconds = 30;

struct Options {
    std::filesystem::path module;                              // absolute
    std::vector<std::pair<std::string, std::string>> presets;  // --set NAME=VALUE, in order
    int cycles = 1;
    double timeoutSeconds = kDefaultStepTimeoutSeconds;  // per step; 0: wait for ever
    bool json = false;
    bool strict = false;  // warnings fail the run
    bool inProcess = false;
    std::vector<std::string> tests;     // --test NAME, in run order; empty: every test
    std::filesystem::path childReport;  // set only in the isolated child
};

// The command line could not be understood; the message says why.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses the UTF-8 arguments after the program name. Returns nullopt after
// printing help or the version; throws UsageError on bad usage.
std::optional<Options> parseOptions(const std::vector<std::string>& arguments);

// The arguments that make a child process run one test of `options`.
std::vector<std::string> childArguments(const Options& options, const std::string& test,
                                        const std::filesystem::path& reportFile);

}  // namespace host
