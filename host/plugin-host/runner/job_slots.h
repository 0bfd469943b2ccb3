#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace host {

// At most N children at once, across every module of a run (--jobs). A
// freed slot goes to the waiter that comes first in the run's order, so the
// modules are checked in the order they were given and each module's gate
// before its other tests, whichever thread asked first.
class JobSlots {
public:
    explicit JobSlots(int slots) : free_(slots > 0 ? slots : 1) {}
    JobSlots(const JobSlots&) = delete;
    JobSlots& operator=(const JobSlots&) = delete;

    // Waits for a slot; `turn` is the waiter's place in the run's order.
    void acquire(std::size_t turn);
    void release();
    // How many wait for a slot now.
    std::size_t waiting();

    // Holds a slot for as long as it lives.
    class Held {
    public:
        Held(JobSlots* slots, std::size_t turn) : slots_(slots) {
            if (slots_ != nullptr) {
                slots_->acquire(turn);
            }
        }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;
        ~Held() {
            if (slots_ != nullptr) {
                slots_->release();
            }
        }

    private:
        JobSlots* slots_;
    };

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int free_;
    std::vector<std::size_t> waiting_;  // the turns of those waiting
};

// How many children run at once when --jobs does not say: one per core.
int defaultJobs();

}  // namespace host
