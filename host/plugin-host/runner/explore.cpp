#include "explore.h"

#include "shrink.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <thread>
#include <vector>

namespace host {

namespace {

std::uint64_t mixed(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// The operations from simplest to most involved, for the last round of shrinking.
constexpr std::array<Operation, kOperationCount> kSimplest{
    Operation::GetPlugin, Operation::DeleteMe, Operation::Copy,
    Operation::Release,   Operation::Fill,     Operation::OnLoad,
    Operation::OnUnload,  Operation::Unload,   Operation::Load};

std::size_t rank(Operation operation) {
    return static_cast<std::size_t>(std::find(kSimplest.begin(), kSimplest.end(), operation) -
                                    kSimplest.begin());
}

}  // namespace

std::size_t positionOf(const TestReport& report) {
    return static_cast<std::size_t>(std::max(report.cyclesPassed, 0));
}

std::string whereIn(std::size_t length, const TestReport& report) {
    const std::size_t position = positionOf(report);
    if (position == 0) {
        return "the first load";
    }
    if (position > length) {
        return "the end, as the host let go of what it still held";
    }
    return "operation " + std::to_string(position) + " of " + std::to_string(length);
}

std::uint64_t explorationSeed(const Options& options) {
    if (options.seed) {
        return *options.seed;
    }
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

Random randomFor(std::uint64_t seed, std::uint64_t index) {
    return Random(mixed(seed ^ mixed(index + 1)));
}

std::vector<Operation> simplerThan(Operation operation) {
    return std::vector<Operation>(kSimplest.begin(),
                                  kSimplest.begin() + static_cast<std::ptrdiff_t>(rank(operation)));
}

std::optional<int> firstFailing(int count, const std::function<bool(int)>& run,
                                std::atomic<int>* shown) {
    std::atomic<int> next{0};
    std::atomic<int> first{INT_MAX};
    std::atomic<int> done{0};
    const auto worker = [&] {
        for (int i = next++; i < count && i < first.load(); i = next++) {
            if (run(i)) {
                // The lowest number, whichever child ends first.
                for (int known = first.load();
                     i < known && !first.compare_exchange_weak(known, i);) {
                }
            }
            const int finished = ++done;
            if (shown != nullptr) {
                shown->store(finished, std::memory_order_relaxed);
            }
        }
    };
    // A child for each core, at least two: one may wait on a hung plugin.
    const unsigned workers = std::max(2U, std::thread::hardware_concurrency());
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < workers; ++i) {
        threads.emplace_back(worker);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return first.load() == INT_MAX ? std::nullopt : std::optional<int>(first.load());
}

std::uint64_t Random::next() {
    state_ += 0x9E3779B97F4A7C15ULL;
    return mixed(state_);
}

std::size_t Random::below(std::size_t bound) {
    return static_cast<std::size_t>(next() % bound);
}

Sequence randomSequence(std::uint64_t seed, std::uint64_t index) {
    Random random = randomFor(seed, index);
    const std::size_t length = 1 + random.below(kMaxSequenceLength);
    Model model;
    Sequence sequence;
    std::vector<Operation> legal;
    while (sequence.size() < length) {
        // An unload ends everything the sequence built up to it: half as
        // likely as any other operation, so that more sequences go deep.
        legal.clear();
        for (std::size_t i = 0; i < kOperationCount; ++i) {
            const auto operation = static_cast<Operation>(i);
            if (model.legal(operation)) {
                legal.insert(legal.end(), operation == Operation::Unload ? 1 : 2, operation);
            }
        }
        const Operation operation = legal[random.below(legal.size())];
        model.apply(operation);
        sequence.push_back(operation);
    }
    return sequence;
}

Sequence shrink(Sequence failing, const std::function<bool(const Sequence&)>& failsTheSameWay) {
    return shrinkOperations<Operation>(
        std::move(failing), [](const Sequence& candidate) { return isLegal(candidate); },
        simplerThan, failsTheSameWay);
}

std::string failureSignature(const Sequence& sequence, const TestReport& report) {
    static const std::regex varying("0x[0-9a-fA-F]+|[0-9]+");
    const std::size_t position = positionOf(report);
    const std::string at = position >= 1 && position <= sequence.size()
                               ? toString(sequence[position - 1])
                               : whereIn(sequence.size(), report);
    return std::string(toString(report.status)) + "|" + at + "|" +
           std::regex_replace(report.cause, varying, "#");
}

TestReport sequenceReport(const Sequence& sequence, TestReport report) {
    if (report.status == TestStatus::Passed || report.outcome == Outcome::HostFailure) {
        return report;
    }
    std::string cause = report.cause;
    const std::size_t position = positionOf(report);
    if ((report.status == TestStatus::Crashed || report.status == TestStatus::TimedOut) &&
        position >= 1 && position <= sequence.size()) {
        // The step named there is only where the operation was recorded.
        cause = std::string(toString(sequence[position - 1])) + " " +
                cause.substr(0, cause.rfind(" in "));
    }
    report.cause =
        "--sequence " + toString(sequence) + ": " + whereIn(sequence.size(), report) + ": " + cause;
    return report;
}

TestReport explore(const Options& options, const SequenceRunner& run, Exploration& exploration,
                   RunProgress* progress) {
    exploration.seed = explorationSeed(options);
    exploration.sequences = options.explore;
    std::mutex found;
    std::map<int, std::pair<Sequence, TestReport>> failures;
    // What the runs saw besides a pass, for warnings (the descriptor, output,
    // processes left running, state put back), by number: which child ends
    // first does not change the report.
    std::map<int, TestReport> remarks;
    firstFailing(
        options.explore,
        [&](int i) {
            Sequence sequence = randomSequence(exploration.seed, static_cast<std::uint64_t>(i));
            TestReport report = run(sequence);
            const std::lock_guard<std::mutex> lock(found);
            if (i == 0 || !report.output.empty() || report.leftProcesses ||
                !report.stateChanges.empty()) {
                remarks.emplace(i, report);
            }
            if (report.status == TestStatus::Passed) {
                return false;
            }
            failures.emplace(i, std::pair{std::move(sequence), std::move(report)});
            return true;
        },
        progress != nullptr ? progress->cycleOf(exploreTest()) : nullptr);
    if (failures.empty()) {
        exploration.ran = options.explore;
        TestReport seen;
        seen.name = exploreTest().name;
        for (auto& [index, report] : remarks) {
            seen.descriptor = seen.descriptor ? seen.descriptor : report.descriptor;
            if (seen.output.empty()) {
                seen.output = std::move(report.output);
            }
            seen.leftProcesses = seen.leftProcesses || report.leftProcesses;
            for (auto& change : report.stateChanges) {
                if (std::find(seen.stateChanges.begin(), seen.stateChanges.end(), change) ==
                    seen.stateChanges.end()) {
                    seen.stateChanges.push_back(std::move(change));
                }
            }
        }
        return seen;
    }
    exploration.ran = failures.begin()->first + 1;
    const Sequence failing = failures.begin()->second.first;
    TestReport report = std::move(failures.begin()->second.second);
    if (report.outcome == Outcome::HostFailure) {
        return report;  // plugin-host's own trouble: nothing of the plugin's to shrink
    }
    const std::string signature = failureSignature(failing, report);
    const Sequence shrunk = shrink(failing, [&](const Sequence& candidate) {
        TestReport again = run(candidate);
        if (again.status == TestStatus::Passed || failureSignature(candidate, again) != signature) {
            return false;
        }
        report = std::move(again);
        return true;
    });
    exploration.failing = toString(shrunk);
    return sequenceReport(shrunk, std::move(report));
}

}  // namespace host
