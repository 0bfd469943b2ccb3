#include "steps.h"

#include <iterator>

namespace host {

namespace {
constexpr const char* kStepNames[] = {"load",     "descriptor", "getPlugin", "onLoad", "onUnload",
                                      "deleteMe", "release",    "unload",    "exit"};
static_assert(std::size(kStepNames) == kStepCount);
constexpr const char* kStatusNames[] = {"not run", "passed", "failed", "crashed", "timed out"};

template <typename Enum, std::size_t N>
std::optional<Enum> fromName(const char* const (&names)[N], const std::string& name) noexcept {
    for (std::size_t i = 0; i < N; ++i) {
        if (name == names[i]) {
            return static_cast<Enum>(i);
        }
    }
    return std::nullopt;
}
}  // namespace

const char* toString(Step step) noexcept {
    return kStepNames[static_cast<std::size_t>(step)];
}

const char* toString(StepStatus status) noexcept {
    return kStatusNames[static_cast<std::size_t>(status)];
}

std::optional<Step> stepFromString(const std::string& name) noexcept {
    return fromName<Step>(kStepNames, name);
}

std::optional<StepStatus> stepStatusFromString(const std::string& name) noexcept {
    return fromName<StepStatus>(kStatusNames, name);
}

}  // namespace host
