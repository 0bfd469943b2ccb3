// The process's interval timers: a timer left armed ends the host with its
// signal (SIGALRM, SIGVTALRM, SIGPROF by default) long after the plugin
// has gone. alarm() is the real-time one.

#include <sys/time.h>

#include <string>
#include <vector>

#include "guards/kinds.h"

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

}  // namespace

std::unique_ptr<StateGuard> intervalTimersGuard() {
    return std::make_unique<IntervalTimersGuard>();
}

}  // namespace host::guards
