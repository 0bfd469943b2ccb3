#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
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
    const auto many = child({"print", "100000", "4097"});
    EXPECT_EQ(many.standardOutput.bytes, 100000u);
    EXPECT_EQ(many.standardOutput.head, std::string(process::kCaptureLimit, 'o'));
    EXPECT_EQ(many.standardError.bytes, 4097u);
    EXPECT_EQ(many.standardError.head, std::string(process::kCaptureLimit, 'e'));
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

// The limit counts from the last progress; giving up needs no limit at all.
TEST(Process, TheWatchdogKillsOnTheLimitWithoutProgressOrWhenToldTo) {
    const auto started = std::chrono::steady_clock::now();
    const auto stalled = child({"hang"}, process::Watchdog{100ms, {}, {}});
    EXPECT_TRUE(stalled.timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);

    // Progress for 600 ms, then none: not killed at 100 ms, but soon after 600.
    const auto moving = std::chrono::steady_clock::now();
    std::atomic<std::uintmax_t> steps{0};
    const auto late = child(
        {"hang"}, process::Watchdog{100ms,
                                    [&] {
                                        return std::chrono::steady_clock::now() - moving < 600ms
                                                   ? ++steps
                                                   : steps.load();
                                    },
                                    {}});
    EXPECT_TRUE(late.timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - moving, 600ms);

    // A slow start, 300 ms without progress, has the start's limit; after
    // the first progress the limit is the step's again. The one progress is
    // made on the first look after 300 ms, however late the looks come on a
    // busy machine, so it cannot fall between two of them.
    const auto starting = std::chrono::steady_clock::now();
    std::atomic<bool> firstLook{true};
    const auto slow = child(
        {"hang"}, process::Watchdog{100ms,
                                    [&]() -> std::uintmax_t {
                                        const bool first = firstLook.exchange(false);
                                        return !first &&
                                               std::chrono::steady_clock::now() - starting >= 300ms;
                                    },
                                    {},
                                    60s});
    EXPECT_TRUE(slow.timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - starting, 400ms);
    EXPECT_LT(std::chrono::steady_clock::now() - starting, 5s);

    // Giving up may hang on what the progress shows: it is read with no limit too.
    for (const auto limit : {0ms, 60000ms}) {
        std::atomic<std::uintmax_t> reads{0};
        const auto gaveUp =
            child({"hang"}, process::Watchdog{limit, [&reads] { return ++reads; },
                                              [&reads] { return reads.load() > 3; }});
        EXPECT_TRUE(gaveUp.timedOut) << limit.count();
        EXPECT_GT(reads.load(), 3u);
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
