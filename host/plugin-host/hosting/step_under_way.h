#pragma once

#include <atomic>
#include <string>

#include "steps.h"

namespace host {

// The step of the plugin's under way in this process, while it lasts, for
// whoever watches how the process ends (exit_watch, crash_watch) to name.
class StepUnderWay {
public:
    // `number` is the cycle, or the operation of a sequence: `counted` says
    // which ("cycle", "operation").
    StepUnderWay(const std::string& test, Step step, int number, const char* counted) noexcept;
    StepUnderWay(const StepUnderWay&) = delete;
    StepUnderWay& operator=(const StepUnderWay&) = delete;
    ~StepUnderWay();
};

// Where the plugin was last: the step last begun, whether it is still under
// way, its test and number. Safe to read in a crash: it is copied, never
// allocated.
struct PluginPlace {
    bool known = false;               // a step has begun since the process started
    std::atomic<bool> during{false};  // read by other threads' exits too
    char test[64] = {};
    Step step = Step::Load;
    int number = 0;
    const char* counted = "cycle";
};
const PluginPlace& pluginPlace() noexcept;

}  // namespace host
