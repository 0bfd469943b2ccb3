#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "catalog.h"
#include "job_slots.h"
#include "progress_line.h"
#include "run_progress.h"

namespace {

using namespace host;
using namespace std::chrono_literals;

TEST(ProgressLine, CountsReadWithThousandsWhateverTheLocale) {
    const std::vector<std::pair<unsigned long long, std::string>> rows{{0, "0"},
                                                                       {999, "999"},
                                                                       {1000, "1,000"},
                                                                       {52310, "52,310"},
                                                                       {100000, "100,000"},
                                                                       {100000000, "100,000,000"},
                                                                       {1234567, "1,234,567"}};
    for (const auto& [value, text] : rows) {
        EXPECT_EQ(withThousands(value), text);
    }
}

Options run(std::vector<std::string> tests, int cycles) {
    Options options;
    options.tests = std::move(tests);
    options.cycles = cycles;
    return options;
}

const ContractTest& test(const char* name) {
    return *findContractTest(name);
}

// Only the test that runs the cycles has a cycle to show, and only when there
// are more than one; it shows until that test is done.
TEST(ProgressLine, SaysTheTestsDoneAndTheCycleTheLifecycleHasReached) {
    {
        RunProgress progress(run({}, 1));
        EXPECT_EQ(progressText(progress.snapshot()), "plugin-host: 0 of 7 tests done");
        EXPECT_EQ(progress.cycleOf(test("lifecycle")), nullptr);
    }
    RunProgress progress(run({"descriptor", "lifecycle"}, 100000));
    EXPECT_EQ(progress.cycleOf(test("descriptor")), nullptr);
    ASSERT_NE(progress.cycleOf(test("lifecycle")), nullptr);
    EXPECT_EQ(progressText(progress.snapshot()), "plugin-host: 0 of 2 tests done");
    progress.cycleOf(test("lifecycle"))->store(1);
    EXPECT_EQ(progressText(progress.snapshot()),
              "plugin-host: 0 of 2 tests done; lifecycle: cycle 1 of 100,000");
    progress.cycleOf(test("lifecycle"))->store(52310);
    progress.testDone(test("descriptor"));
    EXPECT_EQ(progressText(progress.snapshot()),
              "plugin-host: 1 of 2 tests done; lifecycle: cycle 52,310 of 100,000");
    progress.testDone(test("lifecycle"));
    EXPECT_EQ(progressText(progress.snapshot()), "plugin-host: 2 of 2 tests done");

    // --explore counts its sequences as the lifecycle counts its cycles.
    Options explore;
    explore.explore = 1000;
    RunProgress sequences(explore);
    EXPECT_EQ(sequences.cycleOf(test("lifecycle")), nullptr);
    sequences.cycleOf(exploreTest())->store(530);
    EXPECT_EQ(progressText(sequences.snapshot()),
              "plugin-host: 0 of 1 tests done; explore: sequence 530 of 1,000");
    sequences.testDone(exploreTest());
    EXPECT_EQ(progressText(sequences.snapshot()), "plugin-host: 1 of 1 tests done");

    // Several modules count modules first, and their tests all together, less
    // those --skip leaves out; no one module's cycles stand for the others'.
    Options skipping = run({}, 100);
    skipping.skip = {"descriptor"};
    RunProgress modules(skipping, 3);
    EXPECT_EQ(modules.cycleOf(test("lifecycle")), nullptr);
    modules.testDone(test("lifecycle"));
    modules.moduleDone();
    EXPECT_EQ(progressText(modules.snapshot()), "plugin-host: 1 of 3 modules, 1 of 18 tests done");
    EXPECT_EQ(progressText(modules.snapshot(), 40), "plugin-host: 1/3 modules, 1/18 tests");
    EXPECT_EQ(progressText(modules.snapshot(), 30), "1/3 modules, 1/18 tests");
    // --together gives each module one result more.
    skipping.together = true;
    EXPECT_EQ(progressText(RunProgress(skipping, 3).snapshot()),
              "plugin-host: 0 of 3 modules, 0 of 21 tests done");
}

// A freed child's slot goes to the first in the run's order among those
// waiting, whoever asked first.
TEST(JobSlots, AFreedSlotGoesToTheEarliestTurnWaiting) {
    host::JobSlots slots(1);
    slots.acquire(0);
    std::vector<std::size_t> order;
    std::mutex mutex;
    std::vector<std::thread> waiting;
    for (const std::size_t turn : {9u, 4u, 7u}) {
        waiting.emplace_back([&, turn] {
            const host::JobSlots::Held held(&slots, turn);
            const std::lock_guard<std::mutex> lock(mutex);
            order.push_back(turn);
        });
    }
    // All three wait before the slot is freed.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (slots.waiting() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    slots.release();
    for (auto& thread : waiting) {
        thread.join();
    }
    EXPECT_EQ(order, (std::vector<std::size_t>{4, 7, 9}));
}

// A stream that lets the test wait for each line drawn: the line is drawn
// from a thread of its own, and flushed once per drawing.
class Screen : public std::stringbuf {
public:
    void waitForDrawings(int count) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (flushes_.load() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_GE(flushes_.load(), count);
    }

protected:
    int sync() override {
        ++flushes_;
        return 0;
    }

private:
    std::atomic<int> flushes_{0};
};

TEST(ProgressLine, IsRewrittenInPlaceWhenItChangesAndErasedWhenStopped) {
    RunProgress progress(run({"lifecycle"}, 100000));
    Screen screen;
    std::ostream out(&screen);
    ProgressLine line(progress, out, 80, {0ms, 1ms});
    screen.waitForDrawings(1);
    progress.cycleOf(test("lifecycle"))->store(52310);
    screen.waitForDrawings(2);
    progress.testDone(test("lifecycle"));
    screen.waitForDrawings(3);
    std::this_thread::sleep_for(50ms);  // many intervals, and nothing new to draw
    line.stop();
    const std::string longest =
        "plugin-host: 0 of 1 tests done; lifecycle: cycle 52,310 of 100,000";
    EXPECT_EQ(screen.str(),
              "\rplugin-host: 0 of 1 tests done"
              "\r" +
                  longest + "\rplugin-host: 1 of 1 tests done" + std::string(36, ' ') + "\r" +
                  std::string(longest.size(), ' ') + "\r");
}

TEST(ProgressLine, ARunShorterThanTheDelayShowsNothing) {
    RunProgress progress(run({}, 1));
    std::ostringstream out;
    const auto start = std::chrono::steady_clock::now();
    ProgressLine line(progress, out, 80, {1h, 1ms});
    line.stop();
    EXPECT_EQ(out.str(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);  // stop does not wait it out
}

// A line that wrapped could not be rewritten: it keeps the terminal's last
// column free, with fewer words before it loses a number; a terminal of
// unknown width gets it whole.
TEST(ProgressLine, FitsTheTerminalWithItsNumbers) {
    struct Row {
        int columns;
        int cycle;  // the lifecycle's of 100,000, 0 for none
        std::string shown;
    };
    for (const auto& row : std::vector<Row>{
             {0, 0, "plugin-host: 0 of 1 tests done"},
             {31, 0, "plugin-host: 0 of 1 tests done"},
             {30, 0, "plugin-host: 0/1 tests"},
             {10, 0, "0/1 tests"},
             {6, 0, "0/1 t"},
             {0, 52310, "plugin-host: 0 of 1 tests done; lifecycle: cycle 52,310 of 100,000"},
             {80, 52310, "plugin-host: 0 of 1 tests done; lifecycle: cycle 52,310 of 100,000"},
             {60, 52310, "plugin-host: 0/1 tests; lifecycle cycle 52,310/100,000"},
             {40, 52310, "0/1 tests; cycle 52,310/100,000"},
         }) {
        RunProgress progress(run({"lifecycle"}, 100000));
        if (row.cycle > 0) {
            progress.cycleOf(test("lifecycle"))->store(row.cycle);
        }
        Screen screen;
        std::ostream out(&screen);
        ProgressLine line(progress, out, row.columns, {0ms, 1h});
        screen.waitForDrawings(1);
        line.stop();
        EXPECT_EQ(screen.str(), "\r" + row.shown + "\r" + std::string(row.shown.size(), ' ') + "\r")
            << row.columns;
    }
}

}  // namespace
