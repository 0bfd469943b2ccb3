#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace host {

// The steps of one load-to-unload cycle, in the order the host takes them:
// the plugin must have let go of the host's handles (release) before the
// module is unloaded.
enum class Step { Load, Descriptor, GetPlugin, OnLoad, OnUnload, DeleteMe, Release, Unload };
inline constexpr std::size_t kStepCount = 8;

enum class StepStatus { NotRun, Passed, Failed, Crashed, TimedOut };

// How one named test of the module contract ended.
enum class TestStatus { Passed, Failed, Crashed, TimedOut, Skipped };

// How the run ended; the values are the program's exit codes.
enum class Outcome { Passed = 0, Misbehaved = 1, Unusable = 2 };

const char* toString(Step step) noexcept;
const char* toString(StepStatus status) noexcept;
const char* toString(Outcome outcome) noexcept;
const char* toString(TestStatus status) noexcept;
std::optional<Step> stepFromString(const std::string& name) noexcept;

struct DescriptorInfo {
    int sdkLevel = 0;
    std::string sourcePath;
    std::string classLabel;
    std::string displayName;
    std::string versionText;
    int kindCode = 0;
};

// A console variable whose value a plugin operation changed.
struct Change {
    std::string name;
    std::string before;
    std::string after;
};

// A fault that does not stop the host: `check` names what found it.
struct Warning {
    std::string check;
    std::string text;
};

struct TestResult {
    std::string name;
    TestStatus status = TestStatus::Passed;
    std::string cause;  // why it did not pass; empty when it did
};

// What the host found. A run of several named tests merges theirs: the
// descriptor and warnings come from whichever read them, the cycle's
// changes, steps, counts and memory from the lifecycle test.
struct Report {
    std::string module;
    std::vector<TestResult> tests;
    std::optional<DescriptorInfo> descriptor;
    std::vector<Warning> warnings;
    std::vector<Change> changes;                 // made by the first cycle's onLoad
    std::array<StepStatus, kStepCount> steps{};  // of the last cycle run or test
    int cyclesRequested = 1;
    int cyclesPassed = 0;
    bool released = false;
    bool unloaded = false;
    long peakResidentKiB = 0;  // of the process that ran the plugin
    Outcome outcome = Outcome::Passed;
    std::string cause;  // why it did not pass; empty when it did

    StepStatus& status(Step step) { return steps[static_cast<std::size_t>(step)]; }
    StepStatus status(Step step) const { return steps[static_cast<std::size_t>(step)]; }
};

void to_json(nlohmann::ordered_json& json, const DescriptorInfo& descriptor);
void from_json(const nlohmann::ordered_json& json, DescriptorInfo& descriptor);
void to_json(nlohmann::ordered_json& json, const Report& report);
void from_json(const nlohmann::ordered_json& json, Report& report);

}  // namespace host
