#include "explore_together.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <regex>

#include "explore.h"
#include "shrink.h"

namespace host {

namespace {

bool passed(const std::vector<TestReport>& reports) {
    return std::all_of(reports.begin(), reports.end(),
                       [](const TestReport& r) { return r.status == TestStatus::Passed; });
}

template <class T>
void addOnce(std::vector<T>& to, const T& item) {
    if (std::find(to.begin(), to.end(), item) == to.end()) {
        to.push_back(item);
    }
}

}  // namespace

TaggedSequence randomTaggedSequence(std::uint64_t seed, std::uint64_t index, std::size_t modules) {
    Random random = randomFor(seed, index);
    const std::size_t length = 1 + random.below(kMaxSequenceLength);
    Models models;
    TaggedSequence sequence;
    std::vector<TaggedOperation> legal;
    while (sequence.size() < length) {
        // An unload is half as likely as any other, as for one module.
        legal.clear();
        for (std::size_t module = 0; module < modules; ++module) {
            for (std::size_t i = 0; i < kOperationCount; ++i) {
                const TaggedOperation operation{module, static_cast<Operation>(i)};
                if (!models.illegal(operation)) {
                    legal.insert(legal.end(), operation.operation == Operation::Unload ? 1 : 2,
                                 operation);
                }
            }
        }
        const TaggedOperation operation = legal[random.below(legal.size())];
        models.apply(operation);
        sequence.push_back(operation);
    }
    return sequence;
}

TaggedSequence shrinkTagged(TaggedSequence failing,
                            const std::function<bool(const TaggedSequence&)>& failsTheSameWay) {
    return shrinkOperations<TaggedOperation>(
        std::move(failing), [](const TaggedSequence& candidate) { return isLegal(candidate); },
        [](const TaggedOperation& operation) {
            std::vector<TaggedOperation> simpler;
            for (const Operation instead : simplerThan(operation.operation)) {
                simpler.push_back(TaggedOperation{operation.module, instead});
            }
            return simpler;
        },
        failsTheSameWay);
}

std::string failureSignature(const TaggedSequence& sequence,
                             const std::vector<TestReport>& reports) {
    static const std::regex varying("0x[0-9a-fA-F]+|[0-9]+");
    std::string signature;
    for (const auto& report : reports) {
        const std::size_t position = positionOf(report);
        const std::string at = position >= 1 && position <= sequence.size()
                                   ? toString(sequence[position - 1])
                                   : whereIn(sequence.size(), report);
        // What names places in the sequence changes as it shrinks.
        const std::string cause = report.status == TestStatus::Skipped ? "" : report.cause;
        signature += std::string(toString(report.status)) + "|" + at + "|" +
                     std::regex_replace(cause, varying, "#") + "\n";
    }
    return signature;
}

std::vector<TestReport> sequenceReports(const TaggedSequence& sequence,
                                        std::vector<TestReport> reports) {
    for (auto& report : reports) {
        if (report.status == TestStatus::Passed || report.status == TestStatus::Skipped ||
            report.outcome == Outcome::HostFailure) {
            continue;
        }
        const std::size_t position = positionOf(report);
        std::string cause = report.cause;
        if ((report.status == TestStatus::Crashed || report.status == TestStatus::TimedOut) &&
            position >= 1 && position <= sequence.size()) {
            cause = toString(sequence[position - 1]) + " " + cause;
        }
        report.cause = "--sequence " + toString(sequence) + ": " +
                       whereIn(sequence.size(), report) + ": " + cause;
    }
    return reports;
}

std::vector<TestReport> exploreTogether(const Options& options, const TaggedRunner& run,
                                        Exploration& exploration, std::atomic<int>* shown) {
    exploration.seed = explorationSeed(options);
    exploration.sequences = options.explore;
    const std::size_t modules = options.modules.size();
    std::mutex found;
    std::map<int, std::pair<TaggedSequence, std::vector<TestReport>>> failures;
    // What passing runs saw besides a pass, for warnings, by number.
    std::map<int, std::vector<TestReport>> remarks;
    firstFailing(
        options.explore,
        [&](int i) {
            TaggedSequence sequence =
                randomTaggedSequence(exploration.seed, static_cast<std::uint64_t>(i), modules);
            std::vector<TestReport> reports = run(sequence);
            const std::lock_guard<std::mutex> lock(found);
            if (passed(reports)) {
                remarks.emplace(i, std::move(reports));
                return false;
            }
            failures.emplace(i, std::pair{std::move(sequence), std::move(reports)});
            return true;
        },
        shown);
    if (failures.empty()) {
        exploration.ran = options.explore;
        std::vector<TestReport> seen(modules);
        for (std::size_t m = 0; m < modules; ++m) {
            seen[m].name = "together";
            for (const auto& [index, reports] : remarks) {
                const TestReport& report = reports[m];
                if (seen[m].output.empty()) {
                    seen[m].output = report.output;
                }
                seen[m].leftProcesses = seen[m].leftProcesses || report.leftProcesses;
                for (const auto& change : report.stateChanges) {
                    addOnce(seen[m].stateChanges, change);
                }
                for (const auto& warning : report.warnings) {
                    const bool known = std::any_of(
                        seen[m].warnings.begin(), seen[m].warnings.end(), [&](const Warning& w) {
                            return w.check == warning.check && w.text == warning.text;
                        });
                    if (!known) {
                        seen[m].warnings.push_back(warning);
                    }
                }
            }
        }
        return seen;
    }
    exploration.ran = failures.begin()->first + 1;
    const TaggedSequence failing = failures.begin()->second.first;
    std::vector<TestReport> reports = std::move(failures.begin()->second.second);
    if (std::any_of(reports.begin(), reports.end(),
                    [](const TestReport& r) { return r.outcome == Outcome::HostFailure; })) {
        return reports;  // plugin-host's own trouble: nothing of the plugins' to shrink
    }
    const std::string signature = failureSignature(failing, reports);
    const TaggedSequence shrunk = shrinkTagged(failing, [&](const TaggedSequence& candidate) {
        std::vector<TestReport> again = run(candidate);
        if (passed(again) || failureSignature(candidate, again) != signature) {
            return false;
        }
        reports = std::move(again);
        return true;
    });
    exploration.failing = toString(shrunk);
    return sequenceReports(shrunk, std::move(reports));
}

}  // namespace host
