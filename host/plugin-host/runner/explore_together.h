#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "options.h"
#include "run_report.h"
#include "tagged_sequence.h"
#include "test_report.h"

namespace host {

// Sequence `index` of those `seed` gives over `modules` modules: 1 to
// kMaxSequenceLength operations, each chosen at random among those the host
// may do to any module where it stands.
TaggedSequence randomTaggedSequence(std::uint64_t seed, std::uint64_t index, std::size_t modules);

// A shortest tagged sequence found that still `failsTheSameWay`, as shrink()
// finds one; an operation is only made simpler for its own module.
TaggedSequence shrinkTagged(TaggedSequence failing,
                            const std::function<bool(const TaggedSequence&)>& failsTheSameWay);

// How a tagged sequence's reports, one per module, say it failed, without
// what differs from run to run: two runs fail the same way when these are equal.
std::string failureSignature(const TaggedSequence& sequence,
                             const std::vector<TestReport>& reports);

// Each module's report of `sequence`: a failure's cause names the sequence
// as --sequence replays it, and the operation it failed at.
std::vector<TestReport> sequenceReports(const TaggedSequence& sequence,
                                        std::vector<TestReport> reports);

// --explore with --together: options.explore tagged sequences over
// options.modules, each given to `run`, two or more at a time; the first
// that fails, by its number, is shrunk. One report per module.
using TaggedRunner = std::function<std::vector<TestReport>(const TaggedSequence&)>;
std::vector<TestReport> exploreTogether(const Options& options, const TaggedRunner& run,
                                        Exploration& exploration,
                                        std::atomic<int>* shown = nullptr);

}  // namespace host
