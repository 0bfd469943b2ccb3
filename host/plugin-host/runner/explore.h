#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model.h"
#include "options.h"
#include "run_progress.h"
#include "run_report.h"
#include "test_report.h"

namespace host {

// Where --explore's sequences come from: splitmix64, so that a seed gives the
// same sequences with every compiler and standard library.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    std::size_t below(std::size_t bound);  // 0 to bound - 1

private:
    std::uint64_t state_;
};

inline constexpr std::size_t kMaxSequenceLength = 32;

// --seed, or a random one.
std::uint64_t explorationSeed(const Options& options);
// What draws sequence `index` of those `seed` gives.
Random randomFor(std::uint64_t seed, std::uint64_t index);

// Runs `run(0)` to `run(count - 1)`, two or more at a time, until one says
// it failed; the lowest number that did, so that the outcome does not
// depend on which run ends first (each below it still runs). `shown` gets
// how many have finished.
std::optional<int> firstFailing(int count, const std::function<bool(int)>& run,
                                std::atomic<int>* shown = nullptr);

// Where in its sequence of `length` operations a report says it failed: its
// cyclesPassed, 0 the first load, p the p-th operation, length + 1 what the
// host does after the last; and that place in words ("operation 3 of 5").
std::size_t positionOf(const TestReport& report);
std::string whereIn(std::size_t length, const TestReport& report);

// The operations simpler than `operation`, simplest first, for shrinking.
std::vector<Operation> simplerThan(Operation operation);

// Sequence `index` of those `seed` gives: 1 to kMaxSequenceLength operations,
// each chosen at random among those the host may do where it stands.
Sequence randomSequence(std::uint64_t seed, std::uint64_t index);

// A shortest sequence found that still `failsTheSameWay`, from one that does:
// fewer operations first (runs of them, then any one or two), then simpler
// ones, until neither helps. Only legal sequences are tried.
Sequence shrink(Sequence failing, const std::function<bool(const Sequence&)>& failsTheSameWay);

// How a sequence's report says it failed, without what differs from run to
// run (numbers, addresses): two runs fail the same way when these are equal.
std::string failureSignature(const Sequence& sequence, const TestReport& report);

// The explore test's report of `sequence` from the report its run gave: a
// cause that names the sequence as --sequence replays it, and the operation
// that failed.
TestReport sequenceReport(const Sequence& sequence, TestReport report);

// --explore: options.explore sequences from options.seed (or a random seed),
// each given to `run`, two or more at a time. The first that fails, by its
// number (so that the outcome does not depend on which run ends first), is
// shrunk. `exploration` says what ran.
using SequenceRunner = std::function<TestReport(const Sequence&)>;
TestReport explore(const Options& options, const SequenceRunner& run, Exploration& exploration,
                   RunProgress* progress = nullptr);

}  // namespace host
