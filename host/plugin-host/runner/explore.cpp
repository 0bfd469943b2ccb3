#include "explore.h"

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

std::uint64_t randomSeed() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

// Where in its sequence the report says it failed: 0 is the first load, p
// the p-th operation, size + 1 what the host does after the last.
std::size_t positionOf(const TestReport& report) {
    return static_cast<std::size_t>(std::max(report.cyclesPassed, 0));
}

std::string where(const Sequence& sequence, const TestReport& report) {
    const std::size_t position = positionOf(report);
    if (position == 0) {
        return "the first load";
    }
    if (position > sequence.size()) {
        return "the end, as the host let go of what it still held";
    }
    return "operation " + std::to_string(position) + " of " + std::to_string(sequence.size());
}

}  // namespace

std::uint64_t Random::next() {
    state_ += 0x9E3779B97F4A7C15ULL;
    return mixed(state_);
}

std::size_t Random::below(std::size_t bound) {
    return static_cast<std::size_t>(next() % bound);
}

Sequence randomSequence(std::uint64_t seed, std::uint64_t index) {
    Random random(mixed(seed ^ mixed(index + 1)));
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
    const auto fails = [&](const Sequence& candidate) {
        return !candidate.empty() && isLegal(candidate) && failsTheSameWay(candidate);
    };
    for (bool shrunk = true; shrunk;) {
        shrunk = false;
        for (std::size_t size = failing.size() / 2; size >= 1; size /= 2) {
            for (std::size_t start = 0; start + size <= failing.size();) {
                Sequence candidate = failing;
                candidate.erase(candidate.begin() + static_cast<std::ptrdiff_t>(start),
                                candidate.begin() + static_cast<std::ptrdiff_t>(start + size));
                if (fails(candidate)) {
                    failing = std::move(candidate);
                    shrunk = true;
                } else {
                    start += size;
                }
            }
        }
        // Any two that only go together: a copy and its release, an unload and a load.
        for (std::size_t i = 0; i < failing.size() && !shrunk; ++i) {
            for (std::size_t j = i + 1; j < failing.size() && !shrunk; ++j) {
                Sequence candidate = failing;
                candidate.erase(candidate.begin() + static_cast<std::ptrdiff_t>(j));
                candidate.erase(candidate.begin() + static_cast<std::ptrdiff_t>(i));
                if (fails(candidate)) {
                    failing = std::move(candidate);
                    shrunk = true;
                }
            }
        }
        for (std::size_t i = 0; i < failing.size() && !shrunk; ++i) {
            for (std::size_t r = 0; r < rank(failing[i]) && !shrunk; ++r) {
                Sequence candidate = failing;
                candidate[i] = kSimplest[r];
                if (fails(candidate)) {
                    failing = std::move(candidate);
                    shrunk = true;
                }
            }
        }
    }
    return failing;
}

std::string failureSignature(const Sequence& sequence, const TestReport& report) {
    static const std::regex varying("0x[0-9a-fA-F]+|[0-9]+");
    const std::size_t position = positionOf(report);
    const std::string at = position >= 1 && position <= sequence.size()
                               ? toString(sequence[position - 1])
                               : where(sequence, report);
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
        "--sequence " + toString(sequence) + ": " + where(sequence, report) + ": " + cause;
    return report;
}

TestReport explore(const Options& options, const SequenceRunner& run, Exploration& exploration,
                   RunProgress* progress) {
    exploration.seed = options.seed ? *options.seed : randomSeed();
    exploration.sequences = options.explore;
    std::atomic<int> next{0};
    std::atomic<int> firstFailed{INT_MAX};
    std::atomic<int> done{0};
    std::mutex found;
    std::map<int, std::pair<Sequence, TestReport>> failures;
    // What the runs saw besides a pass, for warnings (the descriptor, output,
    // processes left running, state put back), by number: which child ends
    // first does not change the report.
    std::map<int, TestReport> remarks;
    std::atomic<int>* shown = progress != nullptr ? progress->cycleOf(exploreTest()) : nullptr;
    const auto worker = [&] {
        for (int i = next++; i < options.explore && i < firstFailed.load(); i = next++) {
            Sequence sequence = randomSequence(exploration.seed, static_cast<std::uint64_t>(i));
            TestReport report = run(sequence);
            const std::lock_guard<std::mutex> lock(found);
            if (i == 0 || !report.output.empty() || report.leftProcesses ||
                !report.stateChanges.empty()) {
                remarks.emplace(i, report);
            }
            if (report.status != TestStatus::Passed) {
                failures.emplace(i, std::pair{std::move(sequence), std::move(report)});
                firstFailed = std::min(firstFailed.load(), i);
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
