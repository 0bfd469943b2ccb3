#include "warnings.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "text_escape.h"

namespace host {

namespace {

constexpr Check kAbsoluteSourcePath{
    "absolute-source-path",
    "sourcePath is an absolute path: it leaks the build machine's folders into the module and "
    "makes builds from two folders differ"};
constexpr Check kEmptyText{"empty-descriptor-text",
                           "classLabel, displayName or versionText is an empty string"};
constexpr Check kPluginOutput{
    "plugin-output",
    "the plugin wrote to standard output or error: a host's console is not the plugin's"};
constexpr Check kLeftProcesses{
    "left-processes",
    "processes the plugin started were still running when its test ended, and were ended"};

constexpr Check kProcessState{
    "process-state",
    "the plugin changed process-wide state (signal dispositions, the locale, the environment, "
    "the working directory, ...) and left it so; plugin-host put it back"};
#if defined(_WIN32)
constexpr const char* kDescriptors = "handles";
#else
constexpr const char* kDescriptors = "descriptors";
#endif
constexpr Check kLeftDescriptors{
    "left-descriptors",
    "after its test the process had more descriptors (handles on Windows) "
    "open than before the first load"};
constexpr Check kMemoryGrowth{
    "memory-growth",
    "over --cycles N (N of at least 10), the process's memory grew in both halves of the run"};

// How far `to` lies above `from`, 0 when it does not: no difference of two
// figures a report holds overflows, whatever they are.
std::uint64_t above(long long from, long long to) {
    return to > from ? static_cast<std::uint64_t>(to) - static_cast<std::uint64_t>(from) : 0;
}

std::string joinTests(const std::vector<std::string>& names) {
    std::string joined;
    for (const auto& name : names) {
        joined += (joined.empty() ? "" : ", ") + name;
    }
    return joined;
}

// "/home/…", "\\server\…" or "C:\…": where the file was on the build machine.
bool isAbsolute(const std::string& path) {
    if (!path.empty() && (path[0] == '/' || path[0] == '\\')) {
        return true;
    }
    return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) != 0 &&
           path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

}  // namespace

std::vector<Warning> descriptorWarnings(const DescriptorInfo& d) {
    std::vector<Warning> warnings;
    if (isAbsolute(d.sourcePath)) {
        warnings.push_back(Warning{kAbsoluteSourcePath.name,
                                   "sourcePath \"" + d.sourcePath +
                                       "\" is an absolute path: it leaks the build machine's "
                                       "folders into the module and makes builds from two "
                                       "folders differ"});
    }
    const std::pair<const char*, const std::string*> texts[] = {{"classLabel", &d.classLabel},
                                                                {"displayName", &d.displayName},
                                                                {"versionText", &d.versionText}};
    for (const auto& [field, text] : texts) {
        if (text->empty()) {
            warnings.push_back(
                Warning{kEmptyText.name, std::string(field) + " is an empty string"});
        }
    }
    return warnings;
}

std::vector<Warning> leftoverWarnings(const std::vector<TestReport>& reports);

std::vector<Warning> runWarnings(const std::vector<TestReport>& reports) {
    std::vector<Warning> warnings;
    for (const char* stream : {"standard output", "standard error"}) {
        const StreamOutput* first = nullptr;
        std::string firstTest;
        std::uintmax_t bytes = 0;
        int others = 0;
        for (const auto& report : reports) {
            for (const auto& printed : report.output) {
                if (printed.stream != stream) {
                    continue;
                }
                bytes += printed.bytes;
                if (first == nullptr) {
                    first = &printed;
                    firstTest = report.name;
                } else {
                    ++others;
                }
            }
        }
        if (first == nullptr) {
            continue;
        }
        std::string text = firstTest + " wrote " + std::to_string(first->bytes) +
                           (first->bytes == 1 ? " byte to " : " bytes to ") + stream +
                           "; first line: \"" + firstLineEscaped(first->head) + "\"";
        if (others > 0) {
            text += " (and " + std::to_string(others) + " more test" + (others == 1 ? "" : "s") +
                    " wrote to it, " + std::to_string(bytes) + " bytes in all)";
        }
        warnings.push_back(Warning{kPluginOutput.name, text});
    }
    std::vector<std::string> left;
    for (const auto& report : reports) {
        if (report.leftProcesses) {
            left.push_back(report.name);
        }
    }
    if (!left.empty()) {
        std::string names = left.front();
        for (std::size_t i = 1; i < left.size(); ++i) {
            names += ", " + left[i];
        }
        warnings.push_back(
            Warning{kLeftProcesses.name, names + " ended with processes of the plugin's still "
                                                 "running; plugin-host ended them"});
    }
    for (auto& warning : leftoverWarnings(reports)) {
        warnings.push_back(std::move(warning));
    }
    for (const auto& report : reports) {
        for (const auto& warning : report.warnings) {
            warnings.push_back(warning);
        }
    }
    return warnings;
}

std::optional<Warning> memoryGrowthWarning(const TestReport& report) {
    // Three samples at cycles that follow one another, or nothing to judge.
    const auto& memory = report.memory;
    if (memory.size() != 3 || !(memory[0].cycle < memory[1].cycle) ||
        !(memory[1].cycle < memory[2].cycle)) {
        return std::nullopt;
    }
    // Resident memory shows a leak that is written to, allocated memory one
    // that is not: whichever grew more.
    const auto grew = [&memory](std::size_t from, std::size_t to) {
        return std::max(above(memory[from].residentKiB, memory[to].residentKiB),
                        above(memory[from].allocatedKiB, memory[to].allocatedKiB));
    };
    constexpr auto kHalf = static_cast<std::uint64_t>(kGrowthPerHalfKiB);
    if (grew(0, 1) < kHalf || grew(1, 2) < kHalf) {
        return std::nullopt;
    }
    const std::uint64_t total = grew(0, 2);
    const std::uint64_t cycles = above(memory[0].cycle, memory[2].cycle);
    return Warning{kMemoryGrowth.name,
                   report.name + "'s memory grew with every cycle: " + std::to_string(total) +
                       " KiB from cycle " + std::to_string(memory[0].cycle) + " to cycle " +
                       std::to_string(memory[2].cycle) + ", about " +
                       std::to_string(total / cycles) + " KiB a cycle"};
}

std::vector<Warning> leftoverWarnings(const std::vector<TestReport>& reports) {
    std::vector<Warning> warnings;
    // One line per change, naming every test that left it.
    std::vector<std::pair<std::string, std::vector<std::string>>> changes;
    for (const auto& report : reports) {
        for (const auto& change : report.stateChanges) {
            auto found = std::find_if(changes.begin(), changes.end(),
                                      [&change](const auto& c) { return c.first == change; });
            if (found == changes.end()) {
                changes.push_back({change, {}});
                found = changes.end() - 1;
            }
            found->second.push_back(report.name);
        }
    }
    for (const auto& [change, tests] : changes) {
        const std::string_view lasting(kCannotPutBack);
        const bool putBack =
            change.size() < lasting.size() ||
            change.compare(change.size() - lasting.size(), lasting.size(), lasting) != 0;
        warnings.push_back(Warning{
            kProcessState.name,
            joinTests(tests) + " " + change + (putBack ? "; plugin-host put it back" : "")});
    }
    for (const auto& report : reports) {
        if (const std::uint64_t left = above(report.descriptorsBefore, report.descriptorsAfter);
            left > 0) {
            warnings.push_back(Warning{
                kLeftDescriptors.name,
                report.name + " left " + std::to_string(left) + " " +
                    (left == 1 ? std::string(kDescriptors).substr(0, std::strlen(kDescriptors) - 1)
                               : std::string(kDescriptors)) +
                    " open (" + std::to_string(report.descriptorsBefore) +
                    " before the first load, " + std::to_string(report.descriptorsAfter) +
                    " after the test)"});
        }
    }
    for (const auto& report : reports) {
        if (auto growth = memoryGrowthWarning(report)) {
            warnings.push_back(std::move(*growth));
        }
    }
    return warnings;
}

void failOnWarnings(RunReport& report) {
    if (report.outcome != Outcome::Passed || report.warnings.empty()) {
        return;
    }
    std::vector<std::string> checks;
    for (const auto& warning : report.warnings) {
        if (std::find(checks.begin(), checks.end(), warning.check) == checks.end()) {
            checks.push_back(warning.check);
        }
    }
    std::string names = checks.front();
    for (std::size_t i = 1; i < checks.size(); ++i) {
        names += ", " + checks[i];
    }
    const std::size_t count = report.warnings.size();
    report.outcome = Outcome::Misbehaved;
    report.cause = "failed under --strict: " + std::to_string(count) +
                   (count == 1 ? " warning (" : " warnings (") + names + ")";
}

std::vector<std::pair<std::string, std::string>> warningChecks() {
    std::vector<std::pair<std::string, std::string>> checks;
    for (const Check& check :
         {kAbsoluteSourcePath, kEmptyText, kPluginOutput, kLeftProcesses, kProcessState,
          kLeftDescriptors, kMemoryGrowth, kSharedVariable, kSharedObject}) {
        checks.emplace_back(check.name, check.description);
    }
    return checks;
}

std::string warningsHelp() {
    std::string help = "Warnings (a line on standard error each; exit code 0 unless --strict):\n";
    for (const auto& [name, description] : warningChecks()) {
        help += "  " + name + ": " + description + "\n";
    }
    return help;
}

}  // namespace host
