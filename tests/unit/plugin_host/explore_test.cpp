#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "catalog.h"
#include "explore.h"
#include "explore_together.h"
#include "model.h"

namespace {

using namespace host;
using Op = Operation;

Sequence parsed(const std::string& text) {
    const ParsedSequence result = parseSequence(text);
    EXPECT_EQ(result.error, "") << text;
    return result.sequence;
}

// Whether `sequence` holds `pattern` in order, others between.
bool holds(const Sequence& sequence, const Sequence& pattern) {
    std::size_t next = 0;
    for (const Op operation : sequence) {
        next += next < pattern.size() && operation == pattern[next] ? 1 : 0;
    }
    return next == pattern.size();
}

// A seed gives the same legal sequences on every platform and compiler.
TEST(Explore, EachSeedGivesItsOwnLegalSequencesAndTheSameOnesAgain) {
    std::set<std::string> seen;
    std::set<std::size_t> lengths;
    for (std::uint64_t index = 0; index < 500; ++index) {
        const Sequence sequence = randomSequence(7, index);
        EXPECT_TRUE(isLegal(sequence)) << toString(sequence);
        seen.insert(toString(sequence));
        lengths.insert(sequence.size());
    }
    EXPECT_GT(seen.size(), 450u);  // the shortest come again
    // Every length from one operation to the longest, and none beyond.
    EXPECT_EQ(kMaxSequenceLength, 32u);
    EXPECT_EQ(lengths.size(), kMaxSequenceLength);
    EXPECT_EQ(*lengths.begin(), 1u);
    EXPECT_EQ(*lengths.rbegin(), kMaxSequenceLength);
    EXPECT_EQ(toString(randomSequence(1, 0)), "deleteMe,unload");
    EXPECT_EQ(toString(randomSequence(12345, 7)),
              "deleteMe,deleteMe,deleteMe,getPlugin,copy,deleteMe,deleteMe,getPlugin,fill,onUnload,"
              "copy,onUnload,copy,deleteMe,release,deleteMe");
}

TEST(Explore, ShrinksToTheShortestSequenceThatStillFails) {
    const auto holding = [](Sequence pattern) {
        return [pattern](const Sequence& sequence) { return holds(sequence, pattern); };
    };
    const std::vector<std::tuple<const char*, std::function<bool(const Sequence&)>, const char*>>
        rows{
            {"unload,load,getPlugin,copy,fill,onLoad,deleteMe,getPlugin,copy,fill,onUnload,release",
             holding({Op::Copy, Op::DeleteMe, Op::GetPlugin}), "getPlugin,copy,deleteMe,getPlugin"},
            // Pairs that only go together, side by side and apart.
            {"getPlugin,fill,unload,load,getPlugin,copy,fill,onLoad,release,onLoad",
             holding({Op::OnLoad, Op::OnLoad}), "getPlugin,fill,onLoad,onLoad"},
            // Simpler: a copy for a fill; no getPlugin stands for a deleteMe.
            {"getPlugin,fill",
             [](const Sequence& s) { return holds(s, {Op::Copy}) || holds(s, {Op::Fill}); },
             "getPlugin,copy"},
            {"getPlugin,deleteMe", holding({Op::DeleteMe}), "deleteMe"},
        };
    for (const auto& [failing, fails, shortest] : rows) {
        const auto& failsNow = fails;
        const Sequence shrunk = shrink(parsed(failing), [&failsNow](const Sequence& candidate) {
            EXPECT_TRUE(isLegal(candidate)) << toString(candidate);
            return failsNow(candidate);
        });
        EXPECT_EQ(toString(shrunk), shortest) << failing;
    }
}

TestReport ended(TestStatus status, int position, std::string cause) {
    TestReport report = TestReport::ended("explore", status, std::move(cause));
    report.cyclesPassed = position;
    return report;
}

// Runs fail the same way at the same operation for the same reason, whatever
// the numbers; the cause names the sequence and where in it.
TEST(Explore, FailuresAreNamedAndComparedByTheirOperation) {
    const Sequence a = parsed("getPlugin,copy,fill");
    const Sequence b = parsed("getPlugin,deleteMe,getPlugin,copy,fill");
    const std::string signature =
        failureSignature(a, ended(TestStatus::Failed, 3, "fill broke: 2 uses at 0x7f12"));
    EXPECT_EQ(failureSignature(b, ended(TestStatus::Failed, 5, "fill broke: 3 uses at 0x7e")),
              signature);
    EXPECT_NE(failureSignature(b, ended(TestStatus::Failed, 4, "fill broke: 2 uses")), signature);
    EXPECT_NE(failureSignature(a, ended(TestStatus::Crashed, 3, "fill broke: 2 uses")), signature);
    EXPECT_NE(failureSignature(a, ended(TestStatus::Failed, 0, "x")),
              failureSignature(a, ended(TestStatus::Failed, 4, "x")));

    const std::string replay = "--sequence getPlugin,copy,fill: ";
    const std::vector<std::tuple<TestStatus, int, const char*, std::string>> rows{
        {TestStatus::Failed, 2, "copy broke: x", "operation 2 of 3: copy broke: x"},
        // The step a crash names is only where the operation was recorded.
        {TestStatus::Crashed, 3, "crashed with signal 11 in onLoad",
         "operation 3 of 3: fill crashed with signal 11"},
        {TestStatus::TimedOut, 1, "did not finish within 1 s and was killed in getPlugin",
         "operation 1 of 3: getPlugin did not finish within 1 s and was killed"},
        {TestStatus::Crashed, 0, "crashed in load", "the first load: crashed in load"},
        {TestStatus::Crashed, 4, "crashed in exit",
         "the end, as the host let go of what it still held: crashed in exit"},
    };
    for (const auto& [status, position, cause, expected] : rows) {
        EXPECT_EQ(sequenceReport(a, ended(status, position, cause)).cause, replay + expected);
    }
    TestReport trouble = ended(TestStatus::Failed, 1, "cannot start the isolated run");
    trouble.outcome = Outcome::HostFailure;
    EXPECT_EQ(sequenceReport(a, trouble).cause, "cannot start the isolated run");
}

TEST(Explore, TheFirstFailingSequenceByNumberIsShrunkWhicheverEndsFirst) {
    const Sequence fault{Op::Copy, Op::DeleteMe, Op::GetPlugin};
    const SequenceRunner run = [&](const Sequence& sequence) {
        Sequence prefix;
        for (const Op operation : sequence) {
            prefix.push_back(operation);
            if (holds(prefix, fault)) {
                return ended(TestStatus::Failed, static_cast<int>(prefix.size()), "x at 0x1");
            }
        }
        return TestReport{};
    };
    Options options;
    options.explore = 300;
    options.seed = 11;
    int first = 0;
    while (!holds(randomSequence(11, static_cast<std::uint64_t>(first)), fault)) {
        ++first;
    }
    for (int again = 0; again < 5; ++again) {
        Exploration exploration;
        const TestReport report = explore(options, run, exploration);
        EXPECT_EQ(exploration.seed, 11u);
        EXPECT_EQ(exploration.ran, first + 1);
        EXPECT_EQ(exploration.failing, "getPlugin,copy,deleteMe,getPlugin");
        EXPECT_EQ(report.cause,
                  "--sequence getPlugin,copy,deleteMe,getPlugin: operation 4 of 4: x at 0x1");
    }
    // Nothing fails: every sequence runs, once; without a seed one is chosen.
    options.seed.reset();
    std::atomic<int> runs{0};
    Exploration passing;
    const TestReport passed = explore(
        options, [&](const Sequence&) { return ++runs, TestReport{}; }, passing);
    EXPECT_EQ(passed.status, TestStatus::Passed);
    EXPECT_EQ(passed.name, "explore");
    EXPECT_EQ(runs.load(), 300);
    EXPECT_EQ(passing.ran, 300);
    Exploration other;
    explore(
        options, [](const Sequence&) { return TestReport{}; }, other);
    EXPECT_NE(other.seed, passing.seed);
}

TaggedSequence tagged(const std::string& text) {
    const ParsedTaggedSequence result = parseTaggedSequence(text, 2);
    EXPECT_EQ(result.error, "") << text;
    return result.sequence;
}

// Tags name the run's modules from 1; each module is held to its own model.
TEST(ExploreTogether, TaggedSequencesAreReadCheckedAndWrittenBack) {
    const std::string text = "1:getPlugin,2:getPlugin,2:fill,1:unload,1:load,2:onLoad";
    EXPECT_EQ(toString(tagged(text)), text);
    const std::vector<std::pair<const char*, std::string>> refused{
        {"1:getPlugin,3:getPlugin",
         "operation 2 \"3:getPlugin\" names no module of the run, which holds 2 (1 to 2 in the "
         "order given)"},
        {"2:fill",
         "operation 1, 2:fill, is not one the host may do there: the holder holds no "
         "object"},
        {"1:unload,2:load",
         "operation 2, 2:load, is not one the host may do there: the module is loaded"},
        {"1:getPlugin,",
         "operation 2 \"\" names no module: with --together each operation is "
         "MODULE:OPERATION, MODULE the module's place in the run from 1, such as "
         "1:getPlugin"},
        {"x1:load",
         "operation 1 \"x1:load\" names no module: with --together each operation is "
         "MODULE:OPERATION, MODULE the module's place in the run from 1, such as "
         "1:getPlugin"},
    };
    for (const auto& [sequence, error] : refused) {
        EXPECT_EQ(parseTaggedSequence(sequence, 2).error, error) << sequence;
    }
    // Before the run's folders are listed, any module may be named.
    EXPECT_EQ(parseTaggedSequence("1:getPlugin,3:getPlugin", std::nullopt).error, "");
}

TEST(ExploreTogether, SeedsGiveLegalSequencesOverEveryModuleAndShrinkKeepsTheirTags) {
    std::set<std::size_t> named;
    for (std::uint64_t index = 0; index < 200; ++index) {
        const TaggedSequence sequence = randomTaggedSequence(7, index, 3);
        EXPECT_TRUE(isLegal(sequence)) << toString(sequence);
        EXPECT_LE(sequence.size(), kMaxSequenceLength);
        for (const auto& operation : sequence) {
            named.insert(operation.module);
        }
    }
    EXPECT_EQ(named, (std::set<std::size_t>{0, 1, 2}));
    EXPECT_EQ(toString(randomTaggedSequence(1, 0, 2)), toString(randomTaggedSequence(1, 0, 2)));
    EXPECT_NE(toString(randomTaggedSequence(1, 0, 2)), toString(randomTaggedSequence(1, 1, 2)));

    // 2's onLoad after 1's: the order of the two matters, the rest goes.
    const auto interleaved = [](const TaggedSequence& s) {
        std::size_t first = s.size();
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == TaggedOperation{0, Op::OnLoad} && first == s.size()) {
                first = i;
            }
            if (s[i] == TaggedOperation{1, Op::OnLoad} && first < i) {
                return true;
            }
        }
        return false;
    };
    EXPECT_EQ(toString(shrinkTagged(tagged("2:getPlugin,1:getPlugin,1:copy,1:fill,2:fill,1:onLoad,"
                                           "1:release,2:copy,2:onLoad,2:deleteMe"),
                                    interleaved)),
              "2:getPlugin,1:getPlugin,1:fill,2:fill,1:onLoad,2:onLoad");
    // An operation is made simpler for its own module, never another's.
    EXPECT_EQ(toString(shrinkTagged(tagged("1:getPlugin,2:getPlugin,2:fill"),
                                    [](const TaggedSequence& s) {
                                        return std::any_of(s.begin(), s.end(), [](auto o) {
                                            return o.module == 1 && o.operation != Op::GetPlugin;
                                        });
                                    })),
              "2:deleteMe");
}

// Each module's cause names the sequence and where in it; a crash, the
// tagged operation it ended in; runs fail alike when every module does.
TEST(ExploreTogether, EachModulesFailureIsNamedAndComparedByItsOperation) {
    const TaggedSequence sequence = tagged("1:getPlugin,1:fill,1:onLoad,2:getPlugin");
    std::vector<TestReport> reports{
        ended(TestStatus::Failed, 3, "left X at 0x12"),
        ended(TestStatus::Crashed, 4, "crashed with signal 8"),
        TestReport::ended("together", TestStatus::Skipped, "ended in 4")};
    const std::string replay = "--sequence 1:getPlugin,1:fill,1:onLoad,2:getPlugin: ";
    const auto named = sequenceReports(sequence, reports);
    EXPECT_EQ(named[0].cause, replay + "operation 3 of 4: left X at 0x12");
    EXPECT_EQ(named[1].cause, replay + "operation 4 of 4: 2:getPlugin crashed with signal 8");
    EXPECT_EQ(named[2].cause, "ended in 4");

    const std::string signature = failureSignature(sequence, reports);
    auto elsewhere = reports;
    elsewhere[0].cause = "left X at 0x7f";
    elsewhere[2].cause = "ended in 7";
    EXPECT_EQ(failureSignature(sequence, elsewhere), signature);
    elsewhere[1].cyclesPassed = 3;
    EXPECT_NE(failureSignature(sequence, elsewhere), signature);
    elsewhere = reports;
    elsewhere[0].status = TestStatus::Passed;
    EXPECT_NE(failureSignature(sequence, elsewhere), signature);
}

}  // namespace
