#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace host {

struct Options {
    std::filesystem::path module;                              // absolute
    std::vector<std::pair<std::string, std::string>> presets;  // --set NAME=VALUE, in order
    int cycles = 1;
    double timeoutSeconds = 0;  // 0: wait for ever
    bool json = false;
    bool inProcess = false;
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

// The arguments that make a child process run `options` in isolation.
std::vector<std::string> childArguments(const Options& options,
                                        const std::filesystem::path& reportFile);

}  // namespace host
