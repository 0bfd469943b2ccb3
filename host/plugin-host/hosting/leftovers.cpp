#include "leftovers.h"

#include <algorithm>

#include "process/process.h"
#include "warnings.h"

namespace host {

namespace {

// The module under test; the other modules of a --together run are loaded
// beside it, and theirs are no leftovers of it.
class ModuleMap final : public guards::CodeMap {
public:
    ModuleMap(const loader::Library* module, const std::filesystem::path& file,
              const std::vector<std::filesystem::path>& others)
        : module_(module), file_(file), others_(others) {}
    bool inModule(const void* address) const override {
        return module_ != nullptr && module_->contains(address);
    }
    bool inLoadedImage(const void* address) const override {
        return loader::Library::inLoadedImage(address);
    }
    bool isModuleFile(const std::filesystem::path& path) const override {
        std::error_code error;
        if (std::filesystem::equivalent(path, file_, error)) {
            return true;
        }
        return std::any_of(others_.begin(), others_.end(), [&](const auto& other) {
            return std::filesystem::equivalent(path, other, error);
        });
    }

private:
    const loader::Library* module_;
    std::filesystem::path file_;
    const std::vector<std::filesystem::path>& others_;
};

}  // namespace

std::vector<int> memorySampleCycles(int cycles) {
    if (cycles < kFewestCyclesForGrowth) {
        return {};
    }
    const int first = (cycles + 9) / 10;
    return {first, first + (cycles - first) / 2, cycles};
}

namespace {
// On Windows the output capture's threads and wine's own open handles in
// plugin-host's process at moments of their own: there only the isolated
// run, a process with no other thread, counts handles.
bool countsDescriptors(const Options& options) {
#if defined(_WIN32)
    return !options.inProcess;
#else
    static_cast<void>(options);
    return true;
#endif
}
}  // namespace

Leftovers::Leftovers(const Options& options)
    : options_(options),
      descriptorsBefore_(countsDescriptors(options) ? process::openDescriptors() : 0),
      memorySamples_(memorySampleCycles(options.cycles)) {}

std::string addStateChange(TestReport& report, guards::Leftover leftover) {
    if (leftover.lasting) {
        leftover.text += kCannotPutBack;
    }
    if (std::find(report.stateChanges.begin(), report.stateChanges.end(), leftover.text) ==
        report.stateChanges.end()) {
        report.stateChanges.push_back(leftover.text);
    }
    return std::move(leftover.text);
}

std::optional<std::string> Leftovers::judge(std::vector<guards::Leftover> leftovers,
                                            TestReport& report, const std::filesystem::path* file) {
    std::string failures;
    for (auto& leftover : leftovers) {
        if (leftover.severity == guards::Leftover::Severity::Failure) {
            const auto owner = blamed_.find(leftover.text);
            if (owner != blamed_.end() && (file == nullptr || owner->second != *file)) {
                continue;
            }
            failures += (failures.empty() ? "" : "; ") + leftover.text;
            continue;
        }
        addStateChange(report, std::move(leftover));
    }
    if (failures.empty()) {
        return std::nullopt;
    }
    return failures;
}

std::optional<std::string> Leftovers::atUnload(const loader::Library& module,
                                               const std::filesystem::path& file, int cycle,
                                               TestReport& report) {
    // A sequence's unloads are few, and each may be the one that leaves the
    // module behind a pointer: each reads everything.
    const bool all = !options_.sequence.empty() || cycle == 1 || cycle == options_.cycles ||
                     cycle % kCostlyEvery == 0;
    return judge(guards_.look(ModuleMap(&module, file, options_.modules), all), report, &file);
}

std::vector<guards::Leftover> Leftovers::afterStep(const loader::Library* module,
                                                   const std::filesystem::path& file) {
    auto found =
        guards_.look(ModuleMap(module, file, options_.modules), true, guards::PutBack::Nothing);
    for (const auto& leftover : found) {
        if (leftover.severity == guards::Leftover::Severity::Failure) {
            blamed_.emplace(leftover.text, file);
        }
    }
    return found;
}

void Leftovers::cycleEnded(int cycle, TestReport& report) {
    if (std::find(memorySamples_.begin(), memorySamples_.end(), cycle) != memorySamples_.end()) {
        const process::Memory memory = process::memoryNow();
        report.memory.push_back(MemorySample{cycle, memory.residentKiB, memory.allocatedKiB});
    }
}

std::optional<std::string> Leftovers::atEnd(TestReport& report) {
    const auto failure = judge(
        guards_.putBack(ModuleMap(nullptr, options_.module, options_.modules)), report, nullptr);
    if (countsDescriptors(options_)) {
        report.descriptorsBefore = descriptorsBefore_;
        report.descriptorsAfter = process::openDescriptors();
    }
    return failure;
}

}  // namespace host
