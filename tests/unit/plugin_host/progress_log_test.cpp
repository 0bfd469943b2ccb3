#include <gtest/gtest.h>

#include <fstream>
#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#include <memory>
#include <nlohmann/json.hpp>
#include <random>

#include "process/append_file.h"
#include "process/process.h"
#include "process/temporary_file.h"
#include "progress_log.h"
#include "report_json.h"

namespace {

using namespace host;

const std::string kKey(crypto::kKeyBytes, 'k');

// The child's seal for lifecycle, and its records as the child writes them:
// "KIND REST" written at `at` nanoseconds.
class Sealed {
public:
    explicit Sealed(const std::string& key = kKey, const std::string& test = "lifecycle")
        : seal(key, test) {}
    std::string operator()(std::string body) {
        if (const auto space = body.find(' '); space != std::string::npos) {
            body.insert(space, ' ' + std::to_string(at));
        }
        return seal.seal(body, ++number) + "\n";
    }

    RecordSeal seal;
    std::uint64_t number = 0;
    long long at = 0;
};

class ProgressLog : public ::testing::Test {
protected:
    void append(const std::string& text) { process::AppendFile(file.path()).append(text); }

    process::TemporaryFile file{std::filesystem::temp_directory_path()};
    Sealed sealed;
    const RecordSeal& seal = sealed.seal;
};

TEST_F(ProgressLog, TheParentReadsBackTheStepsOfTheLastCycleTheDescriptorAndTheReport) {
    const long open = process::openDescriptors();
    {
        ProgressWriter writer(file.path(), seal);
        ASSERT_TRUE(writer.good());
        writer.stepStarted(1, Step::Load);
        writer.descriptorRead(DescriptorInfo{95, "a.cpp", "A", "B", "1", 1});
        writer.stepStarted(1, Step::GetPlugin);
        writer.stepStarted(2, Step::Load);
        writer.stepStarted(2, Step::OnLoad);
        writer.finished(TestReport::ended("lifecycle", TestStatus::Failed, "why"));
    }
    EXPECT_EQ(process::openDescriptors(), open) << "the writer's file is closed with it";
    const ChildProgress progress = readProgress(file, seal);
    EXPECT_EQ(progress.cycle, 2);
    EXPECT_EQ(progress.steps, (std::vector<Step>{Step::Load, Step::OnLoad}));
    ASSERT_TRUE(progress.descriptor);
    EXPECT_EQ(progress.descriptor->classLabel, "A");
    ASSERT_TRUE(progress.finalReport);
    EXPECT_EQ(progress.finalReport->name, "lifecycle");
    EXPECT_EQ(progress.finalReport->cause, "why");
}

// What plugin-host does after the report to provoke a plugin's hooks: read
// only after the report, the last one said, an empty one for done.
TEST_F(ProgressLog, TheParentKnowsWhatTheChildWasProvokingAfterItsReport) {
    const std::string report =
        "report " +
        nlohmann::ordered_json(TestReport::ended("lifecycle", TestStatus::Passed, "")).dump();
    const std::pair<std::vector<std::string>, std::string> rows[] = {
        {{report, "provoke when raising"}, "when raising"},
        {{report, "provoke when raising", "provoke "}, ""},
        {{report, "provoke when raising", "provoke when ending a thread"}, "when ending a thread"},
    };
    for (const auto& [records, provoking] : rows) {
        Sealed child;
        std::string log;
        for (const auto& record : records) {
            log += child(record);
        }
        ProgressReader reader({}, seal);
        reader.take(log);
        EXPECT_EQ(reader.end().provoking, provoking) << log;
        EXPECT_EQ(reader.end().garbageBytes, 0u) << log;
    }
    // Before the report, it is no record of plugin-host's.
    Sealed child;
    const std::string early = child("provoke when raising");
    ProgressReader reader({}, seal);
    reader.take(early);
    EXPECT_EQ(reader.end().provoking, "");
    EXPECT_EQ(reader.end().garbageBytes, early.size() - 1);
}

// What the child does now is timed from when it wrote the record that began
// it, which the record says; a record without a time is none.
TEST_F(ProgressLog, TheLastRecordSaysWhenWhatTheChildDoesNowBegan) {
    const auto before = std::chrono::steady_clock::now();
    {
        ProgressWriter writer(file.path(), seal);
        writer.stepStarted(1, Step::Load);
    }
    const auto after = std::chrono::steady_clock::now();
    const ChildProgress written = readProgress(file, seal);
    ASSERT_TRUE(written.lastRecordAt);
    EXPECT_LE(before, *written.lastRecordAt);
    EXPECT_LE(*written.lastRecordAt, after);

    Sealed child;
    child.at = 5'000'000'000;
    const std::string load = child("step 1 load");
    ProgressReader reader({}, seal);
    reader.take(load);
    const auto at = std::chrono::steady_clock::time_point(std::chrono::seconds(5));
    EXPECT_EQ(reader.progress().lastRecordAt, at);
    for (const char* untimed : {"step x 1 onLoad", "step -1 1 onLoad", "step 1 onLoad",
                                "step 7x 1 onLoad", "report", "step"}) {
        const std::string line = child.seal.seal(untimed, ++child.number) + "\n";
        reader.take(line);
        EXPECT_EQ(reader.progress().lastRecordAt, at) << untimed;
        EXPECT_EQ(reader.progress().records, 1u) << untimed;
    }
    child.at = 6'000'000'000;
    reader.take(child("step 1 onLoad"));
    EXPECT_EQ(reader.progress().lastRecordAt, at + std::chrono::seconds(1));
    EXPECT_EQ(reader.progress().steps, (std::vector<Step>{Step::Load, Step::OnLoad}));
}

TEST_F(ProgressLog, WhatACrashCutShortOrGarbledIsPassedOver) {
    {
        ProgressWriter writer(file.path(), seal);
        writer.stepStarted(1, Step::Load);
        writer.stepStarted(1, Step::GetPlugin);
    }
    // Sealed, yet no record of plugin-host's: counted as garbage too.
    sealed.number = 2;
    for (const char* body :
         {"step 1 frobnicate", "step x onLoad", "step 0 onLoad", "step -1 onLoad", "step 1x onLoad",
          "step 2", "descriptor {\"sdkLevel\":", "noise"}) {
        append(sealed(body));
    }
    append(sealed("report {\"name\":\"lifecycle\",\"status\":").substr(0, 30));  // the crash
    const ChildProgress progress = readProgress(file, seal);
    EXPECT_EQ(progress.cycle, 1);
    EXPECT_EQ(progress.steps, (std::vector<Step>{Step::Load, Step::GetPlugin}));
    EXPECT_FALSE(progress.descriptor);
    EXPECT_FALSE(progress.finalReport);
    EXPECT_EQ(progress.records, 2u);
}

// A line shorter than any seal is never read before its start, each in a
// buffer of its own size so that a read outside it shows.
TEST(RecordSeal, ALineShorterThanASealIsNoRecord) {
    const RecordSeal seal(kKey, "lifecycle");
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, 2 * crypto::kTagBytes + 2}) {
        const auto bytes = std::make_unique<char[]>(size + 1);
        std::fill_n(bytes.get(), size, ' ');
        std::uint64_t last = 0;
        EXPECT_FALSE(seal.open(std::string_view(bytes.get(), size), last)) << size;
    }
}

// Whatever a plugin can write without the key, or copy from what the file
// already holds, is garbage: no progress, and never a report.
TEST_F(ProgressLog, ARecordCountsOnlyWithTheKeysSealForThisTestAndANewNumber) {
    const std::string passed =
        "report " +
        nlohmann::ordered_json(TestReport::ended("lifecycle", TestStatus::Passed, "")).dump();
    Sealed child;
    child.number = 5;
    const std::string step = child("step 1 load");  // the sixth record
    std::string altered = child(passed);
    altered[altered.size() - 2] = altered[altered.size() - 2] == '0' ? '1' : '0';
    const std::pair<const char*, std::string> forgeries[] = {
        {"unsealed", passed + "\n"},
        {"the words of a seal", passed + " 7 " + std::string(64, 'a') + "\n"},
        {"a tag changed", altered},
        {"a record copied", step},
        {"a number not above the last", Sealed()(passed)},
        {"another key", Sealed(std::string(crypto::kKeyBytes, 'x'))(passed)},
        {"another test", Sealed(kKey, "descriptor")(passed)},
    };
    for (const auto& [name, forged] : forgeries) {
        ProgressReader reader({}, seal);
        reader.take(step + forged);
        const ChildProgress& progress = reader.end();
        EXPECT_EQ(progress.records, 1u) << name;
        EXPECT_FALSE(progress.finalReport) << name;
        EXPECT_EQ(progress.garbageBytes, forged.size() - 1) << name;
    }
    // The same report, sealed in its turn, is one.
    ProgressReader reader({}, seal);
    reader.take(step + child(passed));
    EXPECT_TRUE(reader.end().finalReport);
    EXPECT_EQ(reader.end().garbageBytes, 0u);
}

TEST_F(ProgressLog, BytesAfterTheLastLineEndAreGarbageUnlessARecordWasCutShort) {
    {
        ProgressWriter writer(file.path(), seal);
        writer.stepStarted(1, Step::OnLoad);
    }
    append("garbage");
    EXPECT_EQ(readProgress(file, seal).garbageBytes, 7u);
    append("\nstep 1 onUnl");  // a record cut short: no one's garbage
    EXPECT_EQ(readProgress(file, seal).garbageBytes, 7u);
    // Garbage before any step is no step's.
    ProgressReader early({}, seal);
    early.take("early\n" + Sealed()("step 1 load") + "late\n");
    EXPECT_EQ(early.end().garbageBytes, 9u);
    EXPECT_FALSE(early.end().garbageDuring);
    // Only a line that starts as a record can be one cut short.
    ProgressReader shifted({}, seal);
    shifted.take(Sealed()("step 1 load") + "xstep 1 onUnl");
    EXPECT_EQ(shifted.end().garbageBytes, 13u);
    // A line longer than any record, never ended, is blamed on its step as
    // soon as it passes the bound.
    ProgressReader reader({}, seal);
    Sealed child;
    reader.take(child("step 1 load"));
    reader.take(child("step 1 onLoad"));
    reader.take(std::string(kLineLimit + 10, 'g'));
    EXPECT_EQ(reader.progress().garbageDuring, Step::OnLoad);
    EXPECT_GE(reader.progress().garbageBytes, 9u);
}

// Garbage up to the bound is read on; past it, nothing more is read.
TEST_F(ProgressLog, GarbageIsReadUpToTheBoundAndNoFurther) {
    std::string mebibyte;
    for (int i = 0; i < 1024; ++i) {
        mebibyte += std::string(1024, 'g') + "\n";  // 1 KiB of garbage; the line end is none
    }
    append(mebibyte);
    ProgressReader reader(&file, seal);
    reader.poll();
    EXPECT_EQ(reader.progress().garbageBytes, kGarbageLimit);
    append("more\n");
    reader.poll();
    EXPECT_EQ(reader.progress().garbageBytes, kGarbageLimit + 4);
    append("and more\n");
    reader.poll();
    EXPECT_EQ(reader.progress().garbageBytes, kGarbageLimit + 4);
}

#if !defined(_WIN32)
// The descriptor the writer holds: the one besides the file's own that
// reaches the same file.
int writersDescriptor(const process::TemporaryFile& file) {
    struct stat own {};
    stat(file.path().c_str(), &own);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        struct stat info {};
        if (entry.path().filename() != file.path().filename() &&
            stat(entry.path().c_str(), &info) == 0 && info.st_dev == own.st_dev &&
            info.st_ino == own.st_ino) {
            return std::stoi(entry.path().filename().string());
        }
    }
    return -1;
}

TEST_F(ProgressLog, AWriterWhoseFileWasTakenWritesOnAndSaysWhoTookIt) {
    ProgressWriter writer(file.path(), seal);
    writer.stepStarted(1, Step::Load);
    EXPECT_FALSE(writer.takenDuring(Step::Load, true));
    const int fd = writersDescriptor(file);
    ASSERT_GE(fd, 0);
    close(fd);
    // A write between steps finds it gone and opens the file again.
    writer.stepStarted(1, Step::GetPlugin);
    EXPECT_TRUE(writer.good());
    EXPECT_EQ(writer.takenDuring(Step::GetPlugin, true),
              "closed plugin-host's report file during getPlugin");
    EXPECT_FALSE(writer.takenDuring(Step::OnLoad, true)) << "said once";
    // Taken during a step, seen when it ends: at a glance, as every step
    // looks, unless the file put there is open exactly as the writer's own,
    // which only the thorough look of a cycle that reads everything sees.
    const std::string scratch = (std::filesystem::temp_directory_path() /
                                 ("progress-log-other-" + std::to_string(std::random_device{}())))
                                    .string();
    const struct {
        const char* what;
        std::string file;  // put in its place; empty: closed
        int flags;
        bool thorough;
        const char* taken;
    } rows[] = {
        {"closed", "", 0, false, "closed plugin-host's report file during onLoad"},
        {"closed", "", 0, true, "closed plugin-host's report file during onLoad"},
        {"another file", "/dev/null", O_WRONLY, false,
         "put another file in the place of plugin-host's report file during onLoad"},
        {"its own, not to append to", file.path().string(), O_WRONLY, false,
         "put another file in the place of plugin-host's report file during onLoad"},
        {"another, opened the same way", scratch, O_WRONLY | O_APPEND | O_NOATIME, false, nullptr},
        {"another, opened the same way", scratch, O_WRONLY | O_APPEND | O_NOATIME, true,
         "put another file in the place of plugin-host's report file during onLoad"},
    };
    for (const auto& row : rows) {
        const int own = writersDescriptor(file);
        if (row.file.empty()) {
            close(own);
        } else {
            const int descriptor = open(row.file.c_str(), row.flags | O_CREAT, 0600);
            dup2(descriptor, own);
            close(descriptor);
        }
        const auto taken = writer.takenDuring(Step::OnLoad, row.thorough);
        EXPECT_EQ(taken.value_or("(nothing)"), row.taken != nullptr ? row.taken : "(nothing)")
            << row.what << (row.thorough ? ", thoroughly" : ", at a glance");
        if (!taken) {
            EXPECT_TRUE(writer.takenDuring(Step::OnLoad, true)) << "found at the thorough look";
        }
        if (!row.file.empty()) {
            close(own);  // the plugin's file now; the writer opened its own again
        }
    }
    std::filesystem::remove(scratch);
    writer.stepStarted(1, Step::OnUnload);
    EXPECT_EQ(readProgress(file, seal).steps,
              (std::vector<Step>{Step::Load, Step::GetPlugin, Step::OnUnload}));
}
#endif

TEST_F(ProgressLog, AnEmptyLogSaysNothingHappened) {
    const ChildProgress progress = readProgress(file, seal);
    EXPECT_EQ(progress.cycle, 0);
    EXPECT_TRUE(progress.steps.empty());
    EXPECT_FALSE(progress.finalReport);
}

}  // namespace
