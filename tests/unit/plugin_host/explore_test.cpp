#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "catalog.h"
#include "explore.h"
#include "model.h"

namespace {

using namespace host;
using Op = Operation;

Sequence parsed(const std::string& text) {
    const ParsedSequence result = parseSequence(text);
    EXPECT_EQ(result.error, "") << text;
    return result.sequence;
}

// The model's view of what lives and holds the host's handles, operation by
// operation; the tests of real modules hold them to it.
TEST(Model, CountsUsesAndHandlesAsTheStateTableSays) {
    struct Row {
        const char* sequence;
        std::vector<int> uses;  // of each object made
        long handles;
        bool holding;
    };
    const std::vector<Row> rows{
        {"getPlugin", {1}, 0, true},
        {"getPlugin,getPlugin", {1}, 0, true},
        {"getPlugin,fill,copy", {2}, 1, true},
        {"getPlugin,fill,copy,deleteMe", {1}, 1, false},
        {"getPlugin,fill,copy,deleteMe,release", {0}, 0, false},
        {"getPlugin,fill,copy,deleteMe,getPlugin,fill", {1, 1}, 2, true},
        {"getPlugin,copy,copy,fill,unload", {0}, 0, false},
        {"getPlugin,fill,unload,load,getPlugin", {0, 1}, 0, true},
        {"deleteMe,deleteMe,getPlugin,deleteMe", {0}, 0, false},
    };
    for (const Row& row : rows) {
        Model model;
        for (const Op operation : parsed(row.sequence)) {
            model.apply(operation);
        }
        std::vector<int> uses;
        for (const auto& object : model.objects()) {
            uses.push_back(object.uses);
        }
        EXPECT_EQ(uses, row.uses) << row.sequence;
        EXPECT_EQ(model.handleReferences(), row.handles) << row.sequence;
        EXPECT_EQ(model.holder().has_value(), row.holding) << row.sequence;
    }
}

TEST(Model, SequencesReadBackFromTheirNames) {
    const Sequence all{Op::Load, Op::Unload, Op::GetPlugin, Op::Copy,    Op::Release,
                       Op::Fill, Op::OnLoad, Op::OnUnload,  Op::DeleteMe};
    ASSERT_EQ(all.size(), kOperationCount);
    EXPECT_EQ(toString(all), "load,unload,getPlugin,copy,release,fill,onLoad,onUnload,deleteMe");
    for (const Op operation : all) {
        EXPECT_EQ(operationFromString(toString(operation)), operation);
    }
    EXPECT_EQ(operationFromString("GetPlugin"), std::nullopt);
    EXPECT_EQ(toString(parsed("getPlugin,copy,deleteMe,getPlugin,unload")),
              "getPlugin,copy,deleteMe,getPlugin,unload");
    EXPECT_TRUE(isLegal(parsed("unload,load,getPlugin")));
    EXPECT_FALSE(isLegal({Op::Unload, Op::GetPlugin}));
}

TEST(Explore, EachSeedGivesItsOwnLegalSequencesAndTheSameOnesAgain) {
    std::set<std::string> seen;
    std::size_t longest = 0;
    for (std::uint64_t index = 0; index < 500; ++index) {
        const Sequence sequence = randomSequence(7, index);
        ASSERT_FALSE(sequence.empty());
        ASSERT_LE(sequence.size(), kMaxSequenceLength);
        EXPECT_TRUE(isLegal(sequence)) << toString(sequence);
        EXPECT_EQ(sequence, randomSequence(7, index));
        longest = std::max(longest, sequence.size());
        seen.insert(toString(sequence));
    }
    EXPECT_EQ(longest, kMaxSequenceLength);
    EXPECT_GT(seen.size(), 450u);  // the shortest come again
    // Pinned: the same seed gives these on every platform and compiler.
    EXPECT_EQ(toString(randomSequence(1, 0)), "deleteMe,unload");
    EXPECT_EQ(toString(randomSequence(12345, 7)),
              "deleteMe,deleteMe,deleteMe,getPlugin,copy,deleteMe,deleteMe,getPlugin,fill,onUnload,"
              "copy,onUnload,copy,deleteMe,release,deleteMe");
    EXPECT_NE(randomSequence(1, 0), randomSequence(2, 0));
}

// Whether `sequence` holds `pattern` in order, others between.
bool holds(const Sequence& sequence, const Sequence& pattern) {
    std::size_t next = 0;
    for (const Op operation : sequence) {
        next += next < pattern.size() && operation == pattern[next] ? 1 : 0;
    }
    return next == pattern.size();
}

TEST(Explore, ShrinksToTheShortestSequenceThatStillFails) {
    const auto holding = [](Sequence pattern) {
        return [pattern](const Sequence& sequence) { return holds(sequence, pattern); };
    };
    struct Row {
        const char* failing;
        std::function<bool(const Sequence&)> fails;
        const char* shortest;
    };
    const std::vector<Row> rows{
        {"unload,load,getPlugin,copy,fill,onLoad,deleteMe,getPlugin,copy,fill,onUnload,release",
         holding({Op::Copy, Op::DeleteMe, Op::GetPlugin}), "getPlugin,copy,deleteMe,getPlugin"},
        // Pairs that only go together, side by side and apart.
        {"getPlugin,fill,unload,load,getPlugin,fill,onLoad,onLoad",
         holding({Op::OnLoad, Op::OnLoad}), "getPlugin,fill,onLoad,onLoad"},
        {"getPlugin,copy,fill,onLoad,release,onUnload", holding({Op::OnUnload}),
         "getPlugin,fill,onUnload"},
        // Simpler: a copy for a fill, and a deleteMe that no getPlugin can stand for.
        {"getPlugin,fill",
         [](const Sequence& s) { return holds(s, {Op::Copy}) || holds(s, {Op::Fill}); },
         "getPlugin,copy"},
        {"getPlugin,deleteMe", holding({Op::DeleteMe}), "deleteMe"},
    };
    for (const Row& row : rows) {
        int runs = 0;
        const Sequence shrunk = shrink(parsed(row.failing), [&](const Sequence& candidate) {
            ++runs;
            EXPECT_TRUE(isLegal(candidate)) << toString(candidate);
            return row.fails(candidate);
        });
        EXPECT_EQ(toString(shrunk), row.shortest) << row.failing;
        EXPECT_LT(runs, 200) << row.failing;
    }
}

TestReport ended(TestStatus status, int position, std::string cause) {
    TestReport report = TestReport::ended("explore", status, std::move(cause));
    report.cyclesPassed = position;
    return report;
}

// Runs fail the same way when they fail at the same operation for the same
// reason, whatever the numbers and addresses.
TEST(Explore, FailuresAreTheSameWhateverTheNumbers) {
    const Sequence a = parsed("getPlugin,copy,deleteMe,getPlugin");
    const Sequence b = parsed("getPlugin,fill,copy,deleteMe,getPlugin");
    const auto broke = [](int uses) {
        return "getPlugin broke the model: the holder's object has " + std::to_string(uses) +
               " uses at 0x7ffd1234";
    };
    const std::string signature = failureSignature(a, ended(TestStatus::Failed, 4, broke(2)));
    EXPECT_EQ(failureSignature(b, ended(TestStatus::Failed, 5, broke(3))), signature);
    EXPECT_NE(failureSignature(b, ended(TestStatus::Failed, 3, broke(2))), signature);
    EXPECT_NE(failureSignature(a, ended(TestStatus::Crashed, 4, broke(2))), signature);
    EXPECT_NE(failureSignature(a, ended(TestStatus::Failed, 4, "getPlugin threw")), signature);
    EXPECT_NE(failureSignature(a, ended(TestStatus::Failed, 0, broke(2))),
              failureSignature(a, ended(TestStatus::Failed, 5, broke(2))));
}

TEST(Explore, TheCauseNamesTheSequenceAndTheOperation) {
    const Sequence sequence = parsed("getPlugin,copy,fill");
    const std::string replay = "--sequence getPlugin,copy,fill: ";
    struct Row {
        TestStatus status;
        int position;
        const char* cause;
        std::string expected;
    };
    const std::vector<Row> rows{
        {TestStatus::Failed, 2, "copy broke the model: x",
         replay + "operation 2 of 3: copy broke the model: x"},
        {TestStatus::Crashed, 3, "crashed with signal 11 (Segmentation fault) in onLoad",
         replay + "operation 3 of 3: fill crashed with signal 11 (Segmentation fault)"},
        {TestStatus::TimedOut, 1, "did not finish within 1 s and was killed in getPlugin",
         replay + "operation 1 of 3: getPlugin did not finish within 1 s and was killed"},
        {TestStatus::Crashed, 0, "crashed with signal 6 (Aborted) in load",
         replay + "the first load: crashed with signal 6 (Aborted) in load"},
        {TestStatus::Crashed, 4, "crashed with signal 6 (Aborted) in exit",
         replay + "the end, as the host let go of what it still held: crashed with signal 6 "
                  "(Aborted) in exit"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(sequenceReport(sequence, ended(row.status, row.position, row.cause)).cause,
                  row.expected);
    }
    EXPECT_EQ(sequenceReport(sequence, ended(TestStatus::Passed, 4, "")).cause, "");
    TestReport trouble = ended(TestStatus::Failed, 1, "cannot start the isolated run: x");
    trouble.outcome = Outcome::HostFailure;
    EXPECT_EQ(sequenceReport(sequence, trouble).cause, "cannot start the isolated run: x");
}

// A module that fails on any sequence holding copy, deleteMe, getPlugin in
// that order, as a runner of sequences tells it.
TestReport fakeRun(const Sequence& sequence) {
    if (!holds(sequence, {Op::Copy, Op::DeleteMe, Op::GetPlugin})) {
        return TestReport::ended("explore", TestStatus::Passed, "");
    }
    int position = 0;
    Sequence prefix;
    for (const Op operation : sequence) {
        prefix.push_back(operation);
        ++position;
        if (holds(prefix, {Op::Copy, Op::DeleteMe, Op::GetPlugin})) {
            break;
        }
    }
    return ended(TestStatus::Failed, position, "getPlugin broke the model: it gave back 0x1234");
}

TEST(Explore, TheFirstFailingSequenceByNumberIsShrunkWhicheverEndsFirst) {
    Options options;
    options.explore = 300;
    options.seed = 11;
    std::atomic<int> runs{0};
    const SequenceRunner counted = [&](const Sequence& sequence) {
        ++runs;
        return fakeRun(sequence);
    };
    Exploration first;
    const TestReport report = explore(options, counted, first);
    int expected = 0;
    while (!holds(randomSequence(11, static_cast<std::uint64_t>(expected)),
                  {Op::Copy, Op::DeleteMe, Op::GetPlugin})) {
        ++expected;
    }
    EXPECT_EQ(first.seed, 11u);
    EXPECT_EQ(first.sequences, 300);
    EXPECT_EQ(first.ran, expected + 1);
    EXPECT_EQ(first.failing, "getPlugin,copy,deleteMe,getPlugin");
    EXPECT_EQ(report.status, TestStatus::Failed);
    EXPECT_EQ(report.cause,
              "--sequence getPlugin,copy,deleteMe,getPlugin: operation 4 of 4: getPlugin broke "
              "the model: it gave back 0x1234");
    for (int again = 0; again < 5; ++again) {
        Exploration same;
        explore(options, fakeRun, same);
        EXPECT_EQ(same.ran, first.ran);
        EXPECT_EQ(same.failing, first.failing);
    }

    // Nothing fails: every sequence runs, once; without a seed one is chosen.
    options.seed.reset();
    runs = 0;
    Exploration passing;
    const TestReport passed = explore(
        options,
        [&](const Sequence&) {
            ++runs;
            return TestReport{};
        },
        passing);
    EXPECT_EQ(passed.status, TestStatus::Passed);
    EXPECT_EQ(passed.name, "explore");
    EXPECT_EQ(runs.load(), 300);
    EXPECT_EQ(passing.ran, 300);
    EXPECT_EQ(passing.failing, "");
    Exploration other;
    explore(
        options, [](const Sequence&) { return TestReport{}; }, other);
    EXPECT_NE(other.seed, passing.seed);
}

}  // namespace
