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
    Options options;
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

}  // namespace host
