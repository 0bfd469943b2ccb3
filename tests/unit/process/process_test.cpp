#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "built_files.h"
#include "process/append_file.h"
#include "process/process.h"
#include "process_state.h"

namespace {

using namespace std::chrono_literals;

#if defined(_WIN32)
const std::string kChild = "process_child.exe";
#else
const std::string kChild = "process_child";
#endif

process::Termination child(const std::vector<std::string>& arguments,
                           const process::Watchdog& watchdog = {}) {
    process::Redirect capture;
    capture.capture = true;
    return process::run(builtFile(kChild), arguments, capture, watchdog);
}

TEST(Process, EveryExitCodeAndACrashAreToldApart) {
    for (const int code : {0, 1, 2, 3, 42, 255}) {
        const auto ended = child({"exit", std::to_string(code)});
        EXPECT_EQ(ended.exitCode, code);
        EXPECT_EQ(ended.description, "exit code " + std::to_string(code));
        EXPECT_FALSE(ended.crashed || ended.timedOut || ended.leftProcesses) << code;
    }
    const auto crash = child({"crash"});
    EXPECT_TRUE(crash.crashed);
    EXPECT_FALSE(crash.timedOut);
#if !defined(_WIN32)
    EXPECT_EQ(crash.description, "signal 11 (Segmentation fault)");
#endif
}

TEST(Process, EachStreamIsCountedWholeAndKeptOnlyToItsBound) {
    const auto few = child({"print", "5", "7"});
    EXPECT_EQ(few.standardOutput.bytes, 5u);
    EXPECT_EQ(few.standardOutput.head, "ooooo");
    EXPECT_EQ(few.standardError.head, "eeeeeee");
    EXPECT_FALSE(few.standardError.found) << "nothing sought, nothing found";
    const auto many = child({"print", "100000", "4097"});
    EXPECT_EQ(many.standardOutput.bytes, 100000u);
    EXPECT_EQ(many.standardOutput.head, std::string(process::kCaptureLimit, 'o'));
    EXPECT_EQ(many.standardError.bytes, 4097u);
    EXPECT_EQ(many.standardError.head, std::string(process::kCaptureLimit, 'e'));
    // A line sought is found wherever it stands, past what is kept, and
    // across the reads it comes in; one byte off, it is not.
    for (const long before : {0L, 5000L, 65535L, 200000L}) {
        for (const char* said : {"the sealed line", "the sealed lime"}) {
            process::Redirect seek;
            seek.capture = true;
            seek.soughtInError = "the sealed line";
            const auto ended =
                process::run(builtFile(kChild), {"say", std::to_string(before), said}, seek);
            EXPECT_EQ(ended.standardError.found, std::string(said) == "the sealed line")
                << before << " " << said;
            EXPECT_EQ(ended.standardError.bytes, 2 * before + 15);
        }
    }
}

// Every argument reaches the child as it was given, whatever it holds.
TEST(Process, ArgumentsReachTheChildByteForByte) {
    const std::vector<std::string> given{"plain",  "two words",   "",        "trailing\\",
                                         "\\\\",   "\"quoted\"",  "a\\\"b",  "ends \\\\",
                                         "\t tab", "caf\xC3\xA9", "--test=x"};
    std::vector<std::string> arguments{"echo"};
    arguments.insert(arguments.end(), given.begin(), given.end());
    const auto echoed = child(arguments);
    std::string expected;
    for (const std::string& argument : given) {
        expected += argument + '\0';
    }
    EXPECT_EQ(echoed.standardOutput.head, expected);
}

// The input reaches the child whole, from one byte up to the most a pipe
// holds before its reader starts; more is refused before anything starts.
TEST(Process, InputReachesTheChildWholeUpToItsBound) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, process::kInputLimit}) {
        process::Redirect redirect;
        redirect.capture = true;
        redirect.standardInput = std::string(size, 'i');
        const auto copied = process::run(builtFile(kChild), {"copy-input"}, redirect);
        EXPECT_EQ(copied.exitCode, 0) << size;
        EXPECT_EQ(copied.standardOutput.head, *redirect.standardInput) << size;
    }
    process::Redirect tooMuch;
    tooMuch.standardInput = std::string(process::kInputLimit + 1, 'i');
    EXPECT_THROW(process::run(builtFile(kChild), {"copy-input"}, tooMuch), process::ProcessError);
}

// A program that cannot be started is refused with the system's reason, and
// leaves nothing open behind.
TEST(Process, AProgramThatCannotStartIsRefusedAndLeavesNothingOpen) {
    const auto missing = builtFile("no such program");
    const long before = process::openDescriptors();
    for (int i = 0; i < 5; ++i) {
        try {
            process::run(missing, {}, process::Redirect{{}, {}, true});
            ADD_FAILURE() << "started";
        } catch (const process::ProcessError& error) {
#if defined(_WIN32)
            // The system's words differ between Windows and wine.
            const std::string text = error.what();
            const std::string start =
                process::pathToUtf8(missing) + ": cannot start (system error 2: ";
            EXPECT_EQ(text.rfind(start, 0), 0u) << text;
            EXPECT_GT(text.size(), start.size() + 1) << text;
            EXPECT_EQ(text.back(), ')') << text;
            EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << "one line: " << text;
#else
            EXPECT_EQ(error.what(), missing.string() + ": No such file or directory");
#endif
        }
    }
    EXPECT_EQ(process::openDescriptors(), before);
}

// When a child is killed: the step's own start plus the limit, wherever the
// looks fall; the start's allowance only before the child's first word.
TEST(Process, TheWatchdogTimesEachStepFromItsOwnStart) {
    using Clock = process::Watchdog::Clock;
    const Clock::time_point spawned{std::chrono::hours(1)};
    struct Row {
        std::chrono::milliseconds limit;
        std::chrono::milliseconds startLimit;
        std::optional<std::chrono::milliseconds> step;  // after spawned
        std::chrono::milliseconds now;
        std::optional<std::chrono::milliseconds> deadline;
    };
    const Row rows[] = {
        {0ms, 30s, std::nullopt, 1s, std::nullopt},  // no limit at all
        {0ms, 30s, 5ms, 1s, std::nullopt},
        {1s, 30s, std::nullopt, 10s, 30s},   // still starting: the allowance
        {1s, 0ms, std::nullopt, 10s, 1s},    // none: the limit
        {40s, 30s, std::nullopt, 10s, 40s},  // a longer limit stands
        {1s, 30s, 2s, 2s, 3s},               // a step seen at once
        {1s, 30s, 2s, 10s, 3s},              // and one first seen late
        {1s, 30s, -5s, 10s, 1s},             // said to begin before the child
        {1s, 30s, 20s, 10s, 11s},            // or after now
    };
    for (const Row& row : rows) {
        const process::Watchdog watchdog{row.limit, {}, {}, row.startLimit};
        const auto step =
            row.step ? std::optional<Clock::time_point>(spawned + *row.step) : std::nullopt;
        const auto deadline = watchdog.deadline(spawned, step, spawned + row.now);
        ASSERT_EQ(deadline.has_value(), row.deadline.has_value()) << row.limit.count();
        if (deadline) {
            EXPECT_EQ(*deadline - spawned, *row.deadline)
                << row.limit.count() << " " << (row.step ? row.step->count() : -1) << " "
                << row.now.count();
        }
    }
}

// At the edges, with the clock given: a step is killed one tick past its own
// limit, counted from its own record, never at it; a child that has said
// nothing yet, one tick past the allowance for its start.
TEST(Process, TheWatchdogKillsOneTickPastALimitAndNeverAtIt) {
    using Clock = process::Watchdog::Clock;
    const Clock::time_point spawned{std::chrono::hours(1)};
    const Clock::duration tick{1};
    const process::Watchdog watchdog{1s, {}, {}, 30s};
    const Clock::time_point recorded = spawned + 7s;
    EXPECT_FALSE(watchdog.expired(spawned, recorded, recorded + 1s));
    EXPECT_TRUE(watchdog.expired(spawned, recorded, recorded + 1s + tick));
    EXPECT_FALSE(watchdog.expired(spawned, std::nullopt, spawned + 30s));
    EXPECT_TRUE(watchdog.expired(spawned, std::nullopt, spawned + 30s + tick));
    // Without an allowance the start has the step's limit; without a limit,
    // nothing ever expires.
    const process::Watchdog noAllowance{1s, {}, {}, 0ms};
    EXPECT_FALSE(noAllowance.expired(spawned, std::nullopt, spawned + 1s));
    EXPECT_TRUE(noAllowance.expired(spawned, std::nullopt, spawned + 1s + tick));
    const process::Watchdog noLimit{0ms, {}, {}, 30s};
    EXPECT_FALSE(noLimit.expired(spawned, std::nullopt, spawned + std::chrono::hours(1000)));
}

// A child's steady clock is this process's: a step the child times is timed
// here on the same clock.
TEST(Process, AChildReadsTheSameSteadyClock) {
    const auto before = std::chrono::steady_clock::now();
    const auto said = child({"clock"});
    const auto after = std::chrono::steady_clock::now();
    const std::chrono::steady_clock::time_point at(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::nanoseconds(std::stoll(said.standardOutput.head))));
    EXPECT_LE(before, at);
    EXPECT_LE(at, after);
}

// The watchdog on a real child: killed once the step it last named has gone
// the limit, however long the start's allowance; giving up needs no limit.
TEST(Process, TheWatchdogKillsOnTheLimitOfTheStepUnderWayOrWhenToldTo) {
    using Clock = process::Watchdog::Clock;
    const auto started = Clock::now();
    const auto stalled = child({"hang"}, process::Watchdog{100ms, {}, {}});
    EXPECT_TRUE(stalled.timedOut);
    EXPECT_LT(Clock::now() - started, 5s);

    // A step named before the first look: its limit, not the start's 60 s.
    const auto early = Clock::now();
    const auto named =
        child({"hang"}, process::Watchdog{100ms, [early] { return early; }, {}, 60s});
    EXPECT_TRUE(named.timedOut);
    EXPECT_LT(Clock::now() - early, 5s);

    // A slow start, 300 ms without a word, has the start's allowance; the
    // step then named has its own limit.
    const auto starting = Clock::now();
    const auto slow =
        child({"hang"}, process::Watchdog{100ms,
                                          [starting]() -> std::optional<Clock::time_point> {
                                              if (Clock::now() - starting < 300ms) {
                                                  return std::nullopt;
                                              }
                                              return starting + 300ms;
                                          },
                                          {},
                                          60s});
    EXPECT_TRUE(slow.timedOut);
    EXPECT_GE(Clock::now() - starting, 400ms);
    EXPECT_LT(Clock::now() - starting, 5s);

    // Giving up may hang on what the child said: it is read with no limit too.
    for (const auto limit : {0ms, 60000ms}) {
        std::atomic<int> reads{0};
        const auto gaveUp =
            child({"hang"}, process::Watchdog{limit,
                                              [&reads]() -> std::optional<Clock::time_point> {
                                                  ++reads;
                                                  return Clock::now();
                                              },
                                              [&reads] { return reads.load() > 3; }});
        EXPECT_TRUE(gaveUp.timedOut) << limit.count();
        EXPECT_GT(reads.load(), 3);
    }
}

// Whatever a child started ends with it, before run() gives back.
TEST(Process, WhatAChildStartedIsGoneByItsIdWhenRunReturns) {
    const auto pidFile = std::filesystem::temp_directory_path() /
                         ("process-helper-" + std::to_string(std::random_device{}()) + ".pid");
    const auto ended = child({"helper", process::pathToUtf8(pidFile)});
    unsigned long pid = 0;
    std::ifstream(pidFile) >> pid;
    std::filesystem::remove(pidFile);
    ASSERT_NE(pid, 0u);
    EXPECT_EQ(ended.exitCode, 0);
    EXPECT_TRUE(ended.leftProcesses);
    EXPECT_FALSE(stillRuns(pid));
    EXPECT_FALSE(child({"exit", "0"}).leftProcesses);
}

}  // namespace

namespace {

TEST(Process, AnEmptyFileIsMadeWhereItCanBeAndRefusedWhereItCannot) {
    const auto folder = std::filesystem::temp_directory_path();
    const auto file = folder / ("process-empty-" + std::to_string(std::random_device{}()));
    std::ofstream(file) << "old content";
    EXPECT_TRUE(process::createEmptyFile(file));
    EXPECT_EQ(std::filesystem::file_size(file), 0u);
    std::filesystem::remove(file);
#if !defined(_WIN32)
    // A file made for the user: the umask alone says who else may read it.
    const mode_t mask = umask(027);
    EXPECT_TRUE(process::createEmptyFile(file));
    umask(mask);
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms::owner_read |
                                                               std::filesystem::perms::owner_write |
                                                               std::filesystem::perms::group_read);
    std::filesystem::remove(file);
#endif
    errno = 0;
    EXPECT_FALSE(process::createEmptyFile(folder / "no such folder" / "file"));
    EXPECT_EQ(errno, ENOENT);
}

#if !defined(_WIN32)
// Another file under the path is not the one to append to, nor to hold open.
TEST(AppendFile, ReopeningFindsAnotherFileUnderItsPathAndKeepsNoneOfItOpen) {
    const auto folder = std::filesystem::temp_directory_path();
    const auto file = folder / ("append-" + std::to_string(std::random_device{}()));
    std::ofstream(file) << "first";
    process::AppendFile append(file);
    ASSERT_TRUE(append.good());
    const long open = process::openDescriptors();
    std::filesystem::remove(file);
    std::ofstream(file) << "another";
    EXPECT_FALSE(append.reopen());
    EXPECT_FALSE(append.good());
    EXPECT_EQ(process::openDescriptors(), open);
    std::filesystem::remove(file);
}
#endif

char* volatile escaped = nullptr;

// What this process holds, as the memory-growth and peak figures read it.
TEST(Process, MemoryFiguresSeeThisProcessAndWhatItAllocates) {
    const process::Memory before = process::memoryNow();
    EXPECT_GT(before.residentKiB, 0);
    EXPECT_GT(process::peakResidentKiB(), 0);
    EXPECT_GE(process::peakResidentKiB(), before.residentKiB / 2);
    // Allocated, never touched: only the allocated figure grows.
    const std::unique_ptr<char[]> untouched(new char[64 << 20]);
    escaped = untouched.get();  // so that the allocation is not optimised away
    EXPECT_GE(process::memoryNow().allocatedKiB - before.allocatedKiB, 60 << 10);
}

TEST(Process, CapturingThisProcessesOutputLeavesNothingOpenWhenItEnds) {
    const long before = process::openDescriptors();
    { process::OwnOutputCapture forgotten; }
    {
        process::OwnOutputCapture stopped;
        stopped.stop();
    }
    EXPECT_EQ(process::openDescriptors(), before);
}

}  // namespace
