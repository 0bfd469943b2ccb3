#pragma once

#include "process/process.h"

namespace process {

// Tells, when asked every few milliseconds, whether a watched child's step
// has gone the watchdog's limit, or the watchdog gives up on it.
class StallDetector {
public:
    // Made before the child is started: its start counts from here.
    explicit StallDetector(const Watchdog& watchdog)
        : watchdog_(watchdog), spawned_(Watchdog::Clock::now()) {}

    bool active() const noexcept {
        return watchdog_.limit.count() > 0 || static_cast<bool>(watchdog_.giveUp);
    }

    bool stalled() const {
        // What the child said is read on every look, limit or not: it may be
        // what makes the watchdog give up.
        const auto step = watchdog_.stepStarted ? watchdog_.stepStarted()
                                                : std::optional<Watchdog::Clock::time_point>();
        if (watchdog_.giveUp && watchdog_.giveUp()) {
            return true;
        }
        return watchdog_.expired(spawned_, step, Watchdog::Clock::now());
    }

private:
    const Watchdog& watchdog_;
    const Watchdog::Clock::time_point spawned_;
};

}  // namespace process
