#include "job_slots.h"

#include <algorithm>
#include <thread>

namespace host {

void JobSlots::acquire(std::size_t turn) {
    std::unique_lock<std::mutex> lock(mutex_);
    waiting_.push_back(turn);
    changed_.wait(lock, [&] {
        return free_ > 0 && *std::min_element(waiting_.begin(), waiting_.end()) == turn;
    });
    waiting_.erase(std::find(waiting_.begin(), waiting_.end(), turn));
    --free_;
    // The next in turn may take another free slot.
    changed_.notify_all();
}

void JobSlots::release() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++free_;
    }
    changed_.notify_all();
}

std::size_t JobSlots::waiting() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return waiting_.size();
}

int defaultJobs() {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? static_cast<int>(cores) : 1;
}

}  // namespace host
