// The process's timers: the interval timers (alarm() is the real-time one)
// and the POSIX timers of timer_create(). A timer left armed ends the host
// with its signal (SIGALRM, SIGVTALRM, SIGPROF by default), or calls into
// the module, long after the plugin has gone.

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <fstream>

#include <sstream>
#include <string>
#include <vector>

#include "guards/kinds.h"
#include "guards/proc_files.h"

namespace host::guards {

namespace {

struct Timer {
    int which;
    const char* name;
    const char* signal;
};
constexpr Timer kTimers[] = {{ITIMER_REAL, "ITIMER_REAL", "SIGALRM"},
                             {ITIMER_VIRTUAL, "ITIMER_VIRTUAL", "SIGVTALRM"},
                             {ITIMER_PROF, "ITIMER_PROF", "SIGPROF"}};
constexpr int kTimerCount = sizeof kTimers / sizeof kTimers[0];

bool isArmed(const itimerval& timer) {
    return timer.it_value.tv_sec != 0 || timer.it_value.tv_usec != 0;
}

// A timer's value counts down: only whether it is armed, and its interval,
// say what the plugin did.
struct Timers {
    itimerval value[kTimerCount]{};
    bool operator==(const Timers& other) const {
        for (int i = 0; i < kTimerCount; ++i) {
            if (isArmed(value[i]) != isArmed(other.value[i]) ||
                value[i].it_interval.tv_sec != other.value[i].it_interval.tv_sec ||
                value[i].it_interval.tv_usec != other.value[i].it_interval.tv_usec) {
                return false;
            }
        }
        return true;
    }
};

class IntervalTimersGuard final : public ValueGuard<Timers> {
    Timers read() override {
        Timers now;
        for (int i = 0; i < kTimerCount; ++i) {
            getitimer(kTimers[i].which, &now.value[i]);
        }
        return now;
    }
    void write(const Timers& timers) override {
        for (int i = 0; i < kTimerCount; ++i) {
            setitimer(kTimers[i].which, &timers.value[i], nullptr);
        }
    }
    // Armed where the host's was not: its signal's default is to end the
    // process, a crash in waiting.
    Leftover judge(const Timers& now, const CodeMap&) override {
        std::vector<std::string> armed;
        for (int i = 0; i < kTimerCount; ++i) {
            if (isArmed(now.value[i]) && !isArmed(host().value[i])) {
                armed.push_back(std::string(kTimers[i].name) + " armed (" + kTimers[i].signal +
                                ")");
            }
        }
        if (armed.empty()) {
            return {Leftover::Severity::Warning, "changed the interval timers"};
        }
        return {Leftover::Severity::Failure,
                "left " + joinNames(armed) +
                    (armed.size() == 1 ? ", whose signal ends the host"
                                       : ", whose signals end the host")};
    }
    bool costly() const override { return true; }
};

// The kernel's IDs of the process's POSIX timers, which only /proc lists;
// with `silent`, only those that notify nobody when they expire.
std::vector<long> posixTimerIds(bool silent = false) {
    std::vector<long> ids;
    std::istringstream list(procFile("/proc/self/timers"));
    for (std::string line; std::getline(list, line);) {
        if (line.rfind("ID: ", 0) == 0) {
            ids.push_back(std::stol(line.substr(4)));
        } else if (silent && line.rfind("notify: ", 0) == 0 && line.rfind("notify: none", 0) != 0 &&
                   !ids.empty()) {
            ids.pop_back();
        }
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// Armed, and telling somebody (a signal, a thread of the module's) when it
// expires.
bool posixTimerFires(long id, const std::vector<long>& silent) {
    itimerspec value{};
    return syscall(SYS_timer_gettime, id, &value) == 0 &&
           (value.it_value.tv_sec != 0 || value.it_value.tv_nsec != 0) &&
           !std::binary_search(silent.begin(), silent.end(), id);
}

class PosixTimersGuard final : public ValueGuard<std::vector<long>> {
    std::vector<long> read() override { return posixTimerIds(); }
    // What the C library kept of a timer deleted under it is only memory.
    void write(const std::vector<long>& host) override {
        for (const long id : posixTimerIds()) {
            if (!std::binary_search(host.begin(), host.end(), id)) {
                syscall(SYS_timer_delete, id);
            }
        }
    }
    Leftover judge(const std::vector<long>& now, const CodeMap&) override {
        long left = 0;
        long armed = 0;
        const std::vector<long> silent = posixTimerIds(true);
        for (const long id : now) {
            if (!std::binary_search(host().begin(), host().end(), id)) {
                ++left;
                armed += posixTimerFires(id, silent) ? 1 : 0;
            }
        }
        const auto timers = [](long count) {
            return count == 1 ? std::string("a POSIX timer")
                              : std::to_string(count) + " POSIX timers";
        };
        if (armed > 0) {
            return {Leftover::Severity::Failure, "left " + timers(armed) + " armed, which " +
                                                     (armed == 1 ? "fires" : "fire") +
                                                     " after the plugin has gone"};
        }
        return {Leftover::Severity::Warning, "left " + timers(left) + " behind"};
    }
    bool costly() const override { return true; }
};

}  // namespace

std::unique_ptr<StateGuard> intervalTimersGuard() {
    return std::make_unique<IntervalTimersGuard>();
}

std::unique_ptr<StateGuard> posixTimersGuard() {
    return std::make_unique<PosixTimersGuard>();
}

}  // namespace host::guards
