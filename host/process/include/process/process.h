#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "process/temporary_file.h"

// Starting and watching another process, the same way on every platform.
namespace process {

// What a process wrote to one stream: how much, and the first bytes of it.
struct Captured {
    std::uintmax_t bytes = 0;
    std::string head;  // at most the capture limit
    // The stream held Redirect::soughtInError whole, wherever it came.
    bool found = false;
};

// How much of each captured stream is kept by default; the rest is only
// counted.
inline constexpr std::size_t kCaptureLimit = 4096;

// How a child process ended.
struct Termination {
    bool crashed = false;   // killed by a signal or an unhandled exception
    bool timedOut = false;  // killed by the watchdog
    // Stopped by a signal, and killed then (POSIX): a stop nobody continues
    // is no hang to wait out. The signal is the description's.
    bool stopped = false;
    int exitCode = 0;         // when it exited on its own
    std::string description;  // e.g. "exit code 2", "signal 11 (Segmentation fault)"
    // Processes the child started were still running when it ended, and
    // were ended with it.
    bool leftProcesses = false;
    // The mark in the environment of the child and of all it starts, by
    // which endStrays() tells whose a stray was; empty on Windows.
    std::string mark;
    Captured standardOutput;  // with Redirect::capture
    Captured standardError;
};

// Where a child's standard output and error go: empty paths mean inherited,
// unless `capture` keeps them apart from ours and bounded.
struct Redirect {
    std::filesystem::path standardOutput;
    std::filesystem::path standardError;
    bool capture = false;
    std::size_t captureLimit = kCaptureLimit;
    // What the child reads on its standard input, through a pipe that ends
    // there and that no one else holds; without it, the child shares ours.
    // It is written before the child starts: at most kInputLimit bytes,
    // which any pipe holds.
    std::optional<std::string> standardInput = std::nullopt;
    // Text to look for in standard error, beyond what is kept of it too.
    std::string soughtInError = {};
    // A file of ours the child of runThisProgram reaches by the path
    // sharedPath() gives. A contained child sees none of our files: the
    // fork server makes it one where it can, which this one then stands for.
    TemporaryFile* shared = nullptr;
};
inline constexpr std::size_t kInputLimit = 4096;

class ProcessError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Kills a child whose step under way has lasted `limit` (a zero limit waits
// for ever), counted from the moment the child says the step began, not from
// when this process happened to look.
struct Watchdog {
    using Clock = std::chrono::steady_clock;
    std::chrono::milliseconds limit{0};
    // When the step under way began, on this machine's steady clock, which
    // every process shares: what the child last said; nothing while it has
    // said nothing yet. Without it, the limit is for the whole run.
    std::function<std::optional<Clock::time_point>()> stepStarted;
    // True when the child must be killed now, whatever the limit.
    std::function<bool()> giveUp;
    // The allowance for the child's own start, up to the first step it
    // names, when that is longer than `limit`: it is the starter's time,
    // and no step ever gets it.
    std::chrono::milliseconds startLimit{0};

    // The moment a child started at `spawned` is to be killed, as it stands
    // `now`; nothing without a limit. A step said to begin before the child
    // started or after `now` is taken to begin then.
    std::optional<Clock::time_point> deadline(Clock::time_point spawned,
                                              std::optional<Clock::time_point> step,
                                              Clock::time_point now) const;
    // Whether the child is to be killed `now`: only once the deadline has
    // passed, so that a step that takes its whole limit is not cut short.
    bool expired(Clock::time_point spawned, std::optional<Clock::time_point> step,
                 Clock::time_point now) const;
};

// Runs `program` with `arguments` (UTF-8) and waits for it to end, or for the
// watchdog to kill it. The child runs in a session and process group (a job
// object on Windows) of its own, which is ended with it, so nothing it
// started outlives it, and with no terminal (no console on Windows), so it
// can neither read nor change the user's. Throws ProcessError when it cannot
// be started.
Termination run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                const Redirect& redirect = {}, const Watchdog& watchdog = {});

// The exit code of a child of runThisProgram that could not begin, before
// anything of its own ran: it could not be contained as contain() asked, or
// its fork server ended as it began. It says why in a line on its standard
// error.
inline constexpr int kCannotContainExitCode = 124;

// Runs this program again, with `arguments`, as run() runs a program, and
// waits for it the same way. On Linux the child is forked from a copy of
// this program that has done all of its own starting (and nothing else), the
// fork server, so it begins at once; the fork server starts with the first
// such child, and ends with this process. Elsewhere the program is started
// afresh.
Termination runThisProgram(const std::vector<std::string>& arguments, const Redirect& redirect = {},
                           const Watchdog& watchdog = {});

// What a child of runThisProgram runs: the program's own work, given its
// arguments (without the program's name); what it gives back is the child's
// exit code.
using ProgramEntry = int (*)(const std::vector<std::string>& arguments);

// First thing in main(): when this process was started as the fork server,
// serves until the process that started it ends, and gives back its exit
// code; a child it forks runs `entry` and exits with what that gives back.
// Otherwise nothing: the program goes on.
std::optional<int> serveForks(int argc, char** argv, ProgramEntry entry);

// Makes this process the one that inherits whatever its descendants leave
// behind, wherever they moved (their own group or session), so that
// endStrays() can find it; on Windows it does nothing.
void adoptOrphans();
// Ends every process this process inherited or started that no run() is
// waiting for, and gives back their marks (see Termination::mark; empty for
// one with none), each once. On Windows it finds none: a job object holds
// what a child starts.
std::vector<std::string> endStrays();

// Reads this process's standard input to its end: nothing when it cannot be
// read or holds more than `limit` bytes.
std::optional<std::string> readStandardInput(std::size_t limit);

// Creates `path`, or empties it, without leaving it open where a child started
// at the same time could inherit it; false, with errno, when it cannot.
bool createEmptyFile(const std::filesystem::path& path);

// The running program's own file.
std::filesystem::path currentExecutable();

// The command line as UTF-8 strings, program name first.
std::vector<std::string> arguments(int argc, char** argv);

// A UTF-8 string as a path, and back.
std::filesystem::path pathFromUtf8(const std::string& text);
std::string pathToUtf8(const std::filesystem::path& path);

// How many threads this process runs now. On Linux the kernel's task list,
// always exact. On Windows exact is a snapshot of the process's threads, which
// costs a round trip to the system (milliseconds under wine); otherwise it is
// a count kept by a TLS callback of the program, which sees each thread start
// and end, but only once the thread has begun to run.
std::size_t runningThreads(bool exact = true);

// Captures this process's own standard output and error, bounded, from
// construction until stop(): what code running in this process writes there
// stays apart from what the program prints after.
class OwnOutputCapture {
public:
    OwnOutputCapture();
    OwnOutputCapture(const OwnOutputCapture&) = delete;
    OwnOutputCapture& operator=(const OwnOutputCapture&) = delete;
    ~OwnOutputCapture();
    // Restores both streams and gives back what each received.
    std::pair<Captured, Captured> stop();
    // Points this process's standard output and error back where they went
    // before the capture that runs now, if any, for a last word at an exit
    // nobody planned; nothing else is undone.
    static void releaseForExit() noexcept;
    // Empty while plugin-host's own standard output and error, kept aside
    // during the capture, are still its own; else what became of them
    // ("closed plugin-host's standard output"). Unless `thorough`, by a
    // cheap look, as AppendFile::state. On Windows always empty.
    std::string taken(bool thorough = true) const;

private:
    struct State;
    State* state_;
    static State* active_;  // the capture running now
};

// This process's own peak resident memory so far, in KiB; 0 when unknown.
long peakResidentKiB();

// How many descriptors (handles on Windows) this process has open now.
long openDescriptors();

// This process's memory now, in KiB: resident, and private memory allocated
// whether touched or not (a leak that is never written to shows only there).
struct Memory {
    long residentKiB = 0;
    long allocatedKiB = 0;
};
Memory memoryNow();

// Makes this process end when the process that started it does, so that a
// child is never left running (or hanging) once nobody waits for it. On
// Windows the job object its parent holds does the same.
void endWithParent();

// Makes a crash of this process end it quietly with a crash status: no core
// file, no error dialog, no debugger, so whoever started it can report it.
void endQuietlyOnCrash();

// Makes the line said of a crash, in the crash itself: writes at most `room`
// bytes of it into `line`, given what crashed the process ("signal 11
// (Segmentation fault)", "exception 0xC0000005 (access violation)"), and
// says how many. It may only read what was made before the crash.
using CrashLine = std::size_t (*)(const char* crash, char* line, std::size_t room) noexcept;

// From now on a crash of this process (a fault or an abort) first writes the
// line `line` makes, and a newline, to the standard error the process had
// before any OwnOutputCapture; then the same crash ends it, as if nothing
// had caught it, so that a debugger or a core dump still sees it where it
// happened. A null `line` ends the announcing.
void announceCrashes(CrashLine line);

// From now on a crash of this process (a fault, not an abort) writes
// `before` + what crashed it ("exception 0xC0000005 (access violation)",
// "signal 11 (Segmentation fault)") + `after` and a newline to standard
// error, and ends the process with `exitCode`.
void reportCrashesFromNowOn(const std::string& before, const std::string& after, int exitCode);

}  // namespace process
