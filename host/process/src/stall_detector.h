#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "process/process.h"

namespace process {

// Tells, when asked every few milliseconds, whether a watched child has
// gone the watchdog's limit without making progress.
class StallDetector {
public:
    explicit StallDetector(const Watchdog& watchdog)
        : watchdog_(watchdog),
          lastProgress_(watchdog.progress ? watchdog.progress() : 0),
          lastChange_(std::chrono::steady_clock::now()) {}

    bool active() const noexcept {
        return watchdog_.limit.count() > 0 || static_cast<bool>(watchdog_.giveUp);
    }

    bool stalled() {
        // Progress is read on every look, limit or not: what the child has
        // done may be what makes the watchdog give up.
        const auto now = std::chrono::steady_clock::now();
        if (watchdog_.progress) {
            const std::uintmax_t progress = watchdog_.progress();
            if (progress != lastProgress_) {
                lastProgress_ = progress;
                lastChange_ = now;
                started_ = true;
            }
        }
        if (watchdog_.giveUp && watchdog_.giveUp()) {
            return true;
        }
        const auto limit =
            started_ ? watchdog_.limit : std::max(watchdog_.limit, watchdog_.startLimit);
        return watchdog_.limit.count() != 0 && now - lastChange_ >= limit;
    }

private:
    const Watchdog& watchdog_;
    std::uintmax_t lastProgress_;
    std::chrono::steady_clock::time_point lastChange_;
    bool started_ = false;  // progress has been made since the child started
};

}  // namespace process
