#include "warnings.h"

#include <algorithm>
#include <cctype>

#include "text_escape.h"

namespace host {

namespace {

struct Check {
    const char* name;
    const char* description;
};

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

std::string warningsHelp() {
    std::string help = "Warnings (a line on standard error each; exit code 0 unless --strict):\n";
    for (const Check& check : {kAbsoluteSourcePath, kEmptyText, kPluginOutput, kLeftProcesses}) {
        help += "  " + std::string(check.name) + ": " + check.description + "\n";
    }
    return help;
}

}  // namespace host
