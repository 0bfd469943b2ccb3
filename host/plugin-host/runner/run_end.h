#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "guards/guard.h"

namespace host {

// What a run's children can leave that no one child can be told by: the
// processes that left their tests' process groups and came to plugin-host,
// and the user's terminal, opened by its name. Both are looked at once,
// when the children of every module of the run have ended, so that no
// module's look ends or puts back what another's children are still doing.
class RunEnd {
public:
    // Made before any child starts: the terminal as the run found it.
    explicit RunEnd(std::size_t modules);
    RunEnd(const RunEnd&) = delete;
    RunEnd& operator=(const RunEnd&) = delete;

    struct Found {
        std::vector<std::string> strays;    // their marks; "" for one with none
        std::vector<std::string> terminal;  // what was done to it, put back
    };
    // Called by each module once its children have ended; waits for the
    // others, and gives what the one look found.
    const Found& arrive();

private:
    std::unique_ptr<guards::StateGuard> terminal_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::size_t waiting_;
    bool looked_ = false;
    Found found_;
};

}  // namespace host
