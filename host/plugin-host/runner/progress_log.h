#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process/append_file.h"
#include "process/temporary_file.h"
#include "record_seal.h"
#include "session.h"
#include "test_report.h"

namespace host {

// What an isolated child tells its parent, one record per line, each on a
// line of its own and flushed at once, so that it survives a crash right
// after and a plugin that writes into the file cannot run into it:
//   step AT CYCLE NAME       a step is about to be taken
//   descriptor AT JSON       the descriptor, once read
//   report AT JSON           the test's final report
//   provoke AT WHAT          what plugin-host does after the test to run any
//                            hook a plugin left (none: done)
//   module AT INDEX          --together: the steps from here on are this module's
//   left AT JSON             --together: what a module's step left in the process
//   change AT MODULE JSON    --together: a console variable a module's step changed
// each sealed (see RecordSeal): a line that does not open is the plugin's.
// AT is when the record was written, in nanoseconds of the steady clock
// that every process on the machine shares: what the child does from then
// on is timed from then, however late the parent reads it.
//
// A plugin may close the file's descriptor or put another file in its place:
// that is the plugin's fault, not a failure to write, so the writer opens the
// file again by its path and the step that did it fails. A write that fails
// on the writer's own descriptor is plugin-host's trouble (a full disk).
class ProgressWriter final : public StepObserver {
public:
    ProgressWriter(const std::filesystem::path& path, const RecordSeal& seal);

    void stepStarted(int cycle, Step step) override;
    void descriptorRead(const DescriptorInfo& descriptor) override;
    std::optional<std::string> takenDuring(Step step, bool look) override;
    void moduleStarted(std::size_t module) override;
    void leftBehind(const LeftBehind& left) override;
    void variableChanged(std::size_t module, const Change& change) override;
    void finished(const TestReport& report);
    // What plugin-host is about to do to provoke a hook the plugin left, in
    // words that follow a crash's: "when plugin-host ..."; empty when done.
    void provoking(std::string_view what);
    bool good() const { return out_.good(); }

private:
    void write(const char* kind, const std::string& rest);
    // Whether the plugin has taken the descriptor since the last step ended
    // (as a failed write showed, or a look now: thorough, or at a glance
    // unless `look`); if so, the file is opened again.
    bool retake(bool look = true);

    process::AppendFile out_;
    const RecordSeal& seal_;
    std::uint64_t records_ = 0;
    std::optional<process::AppendFile::State> taken_;
    std::optional<std::size_t> module_;  // whose steps the last record said
};

// What the parent learns from a child's log.
struct ChildProgress {
    std::optional<TestReport> finalReport;
    std::vector<TestReport> reports;  // every report, in order: --together's, one per module
    std::size_t module = 0;           // --together: whose step was started last
    std::vector<LeftBehind> left;     // --together: what the modules' steps left
    // --together: the variables the modules' steps changed, in order.
    std::vector<std::pair<std::size_t, Change>> changes;
    std::optional<DescriptorInfo> descriptor;
    int cycle = 0;            // of the last step started
    std::vector<Step> steps;  // started in that cycle, in order
    std::size_t records = 0;  // complete records: the child's progress
    // When the last record was written: what the child does now began then.
    std::optional<std::chrono::steady_clock::time_point> lastRecordAt;
    // Bytes that are no record of plugin-host's: the plugin wrote them.
    std::uintmax_t garbageBytes = 0;
    std::optional<Step> garbageDuring;  // the step under way when the first came
    std::string provoking;              // under way after the report, if anything
};

// Garbage beyond this much ends the test: the plugin gets to fill no disk.
inline constexpr std::uintmax_t kGarbageLimit = 1 << 20;
// The longest line read as one: a record carries the descriptor's texts,
// which may be long; anything longer is garbage.
inline constexpr std::size_t kLineLimit = 16 << 20;

// Reads a child's log while it grows in `file` (or only what take() is
// given, without one). Only complete records sealed under `seal` count as
// progress; anything else is counted as the plugin's garbage, except a
// record that a crash cut short at the very end.
class ProgressReader {
public:
    ProgressReader(const process::TemporaryFile* file, const RecordSeal& seal)
        : file_(file), seal_(seal) {}

    // Reads what was added since the last call; the records so far.
    std::size_t poll();
    // Reads the rest, once the child has ended.
    const ChildProgress& finish();
    // What poll() and finish() do with the bytes they read.
    void take(std::string_view bytes);
    const ChildProgress& end();
    const ChildProgress& progress() const { return progress_; }

private:
    void line(std::string_view line);
    // Takes in one opened record; false when it is none of plugin-host's.
    bool record(std::string_view kind, std::string_view rest);
    // Counts bytes that are no record, and the step under way at the first.
    void garbage(std::uintmax_t bytes);

    const process::TemporaryFile* file_;
    const RecordSeal& seal_;
    std::uint64_t lastRecord_ = 0;  // the number of the last record opened
    std::uintmax_t offset_ = 0;
    std::string partial_;
    ChildProgress progress_;
};

// The whole log of a child that has ended, from its file or its bytes.
ChildProgress readProgress(const process::TemporaryFile& file, const RecordSeal& seal);
ChildProgress parseProgress(std::string_view log, const RecordSeal& seal);

}  // namespace host
