#pragma once

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
        if (watchdog_.giveUp && watchdog_.giveUp()) {
            return true;
        }
        if (watchdog_.limit.count() == 0) {
            return false;
        }
        const auto now = std::chrono::steady_clock::now();
        if (watchdog_.progress) {
            const std::uintmax_t progress = watchdog_.progress();
            if (progress != lastProgress_) {
                lastProgress_ = progress;
                lastChange_ = now;
            }
        }
        return now - lastChange_ >= watchdog_.limit;
    }

private:
    const Watchdog& watchdog_;
    std::uintmax_t lastProgress_;
    std::chrono::steady_clock::time_point lastChange_;
};

}  // namespace process
