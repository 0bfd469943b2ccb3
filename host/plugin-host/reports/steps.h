#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>

namespace host {

// The steps of one load-to-unload cycle, in the order the host takes them:
// the plugin must have let go of the host's handles (release) before the
// module is unloaded. Exit is the end of the process that ran the test, which
// a plugin can still crash or hang after its module has gone.
enum class Step { Load, Descriptor, GetPlugin, OnLoad, OnUnload, DeleteMe, Release, Unload, Exit };
inline constexpr std::size_t kStepCount = 9;

enum class StepStatus { NotRun, Passed, Failed, Crashed, TimedOut };

// How far each step of a cycle got, indexed by Step.
using StepStatuses = std::array<StepStatus, kStepCount>;

// The names are those of the host's operations, and appear in causes, the
// text output and the JSON report.
const char* toString(Step step) noexcept;
const char* toString(StepStatus status) noexcept;
std::optional<Step> stepFromString(const std::string& name) noexcept;
std::optional<StepStatus> stepStatusFromString(const std::string& name) noexcept;

}  // namespace host
