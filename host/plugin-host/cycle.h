#pragma once

#include "options.h"
#include "report.h"

namespace host {

// Told about each step before it is taken, so that a watcher outside the
// process can say where a crash happened.
class StepObserver {
public:
    virtual ~StepObserver() = default;
    virtual void stepStarted(int cycle, Step step) = 0;
    virtual void descriptorRead(const DescriptorInfo& descriptor) = 0;
};

// The value "cl_online_status_override" has before any plugin touches it.
inline constexpr const char* kOnlineStatusVariable = "cl_online_status_override";
inline constexpr const char* kOnlineStatusDefault = "online";

// Runs options.cycles load-to-unload cycles of options.module in this process
// and reports the first that failed, or the last.
Report runCycles(const Options& options, StepObserver& observer);

}  // namespace host
