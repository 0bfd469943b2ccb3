#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "options.h"

namespace host {

// What the command line asks for.
enum class Command {
    Run,        // run the tests on options.module
    ListTests,  // print the tests and what each checks
    Show,       // print `text` (help, version) and exit
};

struct CommandLine {
    Command command = Command::Run;
    Options options;                   // its module is the first of `modules`
    std::vector<std::string> modules;  // the MODULE paths, as given
    std::string text;
};

// The command line could not be understood; the message says why, in one line.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses the UTF-8 arguments after the program name; prints nothing. Throws
// UsageError on bad usage.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// One option a user may give, as --help describes it.
struct OptionHelp {
    std::vector<std::string> names;  // "-h", "--help"; or "MODULE"
    std::string value;               // what it takes ("N", "NAME=VALUE"), or empty
    std::string description;
    bool positional = false;
};
// The options in --help's order, from the same description as the parser's.
std::vector<OptionHelp> optionsHelp();
// What plugin-host does, as --help begins.
const char* programDescription();
// plugin-host's exit codes and what each means, as --help says.
const std::vector<std::pair<int, std::string>>& exitCodes();

}  // namespace host
