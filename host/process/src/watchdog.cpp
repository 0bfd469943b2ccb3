#include <algorithm>

#include "process/process.h"

namespace process {

std::optional<Watchdog::Clock::time_point> Watchdog::deadline(Clock::time_point spawned,
                                                              std::optional<Clock::time_point> step,
                                                              Clock::time_point now) const {
    if (limit.count() == 0) {
        return std::nullopt;
    }
    if (!step) {
        return spawned + std::max(limit, startLimit);
    }
    // The step's own start, wherever the looks fall: a look that comes late
    // on a busy machine neither shortens nor lengthens it.
    return std::clamp(*step, spawned, std::max(spawned, now)) + limit;
}

bool Watchdog::expired(Clock::time_point spawned, std::optional<Clock::time_point> step,
                       Clock::time_point now) const {
    const auto end = deadline(spawned, step, now);
    return end && now > *end;
}

}  // namespace process
