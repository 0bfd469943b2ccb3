#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// Starting and watching another process, the same way on every platform.
namespace process {

// How a child process ended.
struct Termination {
    bool crashed = false;     // killed by a signal or an unhandled exception
    bool timedOut = false;    // killed by the watchdog
    int exitCode = 0;         // when it exited on its own
    std::string description;  // e.g. "exit code 2", "signal 11 (Segmentation fault)"
};

// Where a child's standard output and error go; empty paths mean inherited.
struct Redirect {
    std::filesystem::path standardOutput;
    std::filesystem::path standardError;
};

class ProcessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Kills a child that goes `limit` without progress (a zero limit waits for
// ever). `progress` gives a value that changes whenever the child moves on;
// without it, the limit is for the whole run.
struct Watchdog {
    std::chrono::milliseconds limit{0};
    std::function<std::uintmax_t()> progress;
};

// Runs `program` with `arguments` (UTF-8) and waits for it to end, or for the
// watchdog to kill it. Throws ProcessError when it cannot be started.
Termination run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                const Redirect& redirect = {}, const Watchdog& watchdog = {});

// The running program's own file.
std::filesystem::path currentExecutable();

// The command line as UTF-8 strings, program name first.
std::vector<std::string> arguments(int argc, char** argv);

// A UTF-8 string as a path, and back.
std::filesystem::path pathFromUtf8(const std::string& text);
std::string pathToUtf8(const std::filesystem::path& path);

// This process's own peak resident memory so far, in KiB; 0 when unknown.
long peakResidentKiB();

// Makes a crash of this process end it quietly with a crash status: no core
// file, no error dialog, no debugger, so whoever started it can report it.
void endQuietlyOnCrash();

}  // namespace process
