// How the host's thread is scheduled: its nice value, its policy, the
// CPUs it may run on and its I/O priority. A plugin that changes them slows
// the host, or pins it to one CPU, for good.

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "guards/kinds.h"
#include "guards/privilege.h"

namespace host::guards {

namespace {

class NiceGuard final : public ValueGuard<int> {
    int read() override {
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, 0);
        return errno == 0 ? nice : 0;
    }
    void write(const int& nice) override { setpriority(PRIO_PROCESS, 0, nice); }
    Leftover judge(const int& now, const CodeMap&) override {
        Leftover leftover{Leftover::Severity::Warning,
                          "changed the nice value to " + std::to_string(now)};
        rlimit limit{};
        getrlimit(RLIMIT_NICE, &limit);
        leftover.lasting =
            niceIsLasting(now, host(), limit.rlim_cur, holdsCapability(CAP_SYS_NICE));
        return leftover;
    }
    bool costly() const override { return true; }
};

struct Policy {
    int policy = SCHED_OTHER;
    int priority = 0;
    bool operator==(const Policy& other) const {
        return policy == other.policy && priority == other.priority;
    }
};

std::string policyName(int policy) {
    switch (policy & ~SCHED_RESET_ON_FORK) {
        case SCHED_OTHER:
            return "SCHED_OTHER";
        case SCHED_FIFO:
            return "SCHED_FIFO";
        case SCHED_RR:
            return "SCHED_RR";
        case SCHED_BATCH:
            return "SCHED_BATCH";
        case SCHED_IDLE:
            return "SCHED_IDLE";
        default:
            return "policy " + std::to_string(policy);
    }
}

class PolicyGuard final : public ValueGuard<Policy> {
    Policy read() override {
        Policy now;
        now.policy = sched_getscheduler(0);
        sched_param parameter{};
        sched_getparam(0, &parameter);
        now.priority = parameter.sched_priority;
        return now;
    }
    void write(const Policy& policy) override {
        sched_param parameter{};
        parameter.sched_priority = policy.priority;
        sched_setscheduler(0, policy.policy, &parameter);
    }
    Leftover judge(const Policy& now, const CodeMap&) override {
        Leftover leftover{Leftover::Severity::Warning,
                          "changed the scheduling policy to " + policyName(now.policy)};
        // Leaving SCHED_IDLE takes a privilege an ordinary process lacks.
        leftover.lasting =
            (now.policy & ~SCHED_RESET_ON_FORK) == SCHED_IDLE && !holdsCapability(CAP_SYS_NICE);
        return leftover;
    }
    bool costly() const override { return true; }
};

class AffinityGuard final : public ValueGuard<std::vector<int>> {
    std::vector<int> read() override {
        cpu_set_t set;
        CPU_ZERO(&set);
        std::vector<int> cpus;
        if (sched_getaffinity(0, sizeof set, &set) == 0) {
            for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
                if (CPU_ISSET(cpu, &set)) {
                    cpus.push_back(cpu);
                }
            }
        }
        return cpus;
    }
    void write(const std::vector<int>& cpus) override {
        cpu_set_t set;
        CPU_ZERO(&set);
        for (const int cpu : cpus) {
            CPU_SET(cpu, &set);
        }
        sched_setaffinity(0, sizeof set, &set);
    }
    Leftover judge(const std::vector<int>& now, const CodeMap&) override {
        std::vector<std::string> cpus;
        for (const int cpu : now) {
            cpus.push_back(std::to_string(cpu));
        }
        return {Leftover::Severity::Warning,
                "changed the CPU affinity to CPU " + (cpus.empty() ? "none" : joinNames(cpus))};
    }
    bool costly() const override { return true; }
};

// ioprio_get(2) and ioprio_set(2) have no C library wrappers.
constexpr int kIoPriorityWhoProcess = 1;
constexpr int kIoPriorityClassRealTime = 1;

class IoPriorityGuard final : public ValueGuard<long> {
    long read() override { return syscall(SYS_ioprio_get, kIoPriorityWhoProcess, 0); }
    void write(const long& priority) override {
        syscall(SYS_ioprio_set, kIoPriorityWhoProcess, 0, priority);
    }
    Leftover judge(const long& now, const CodeMap&) override {
        static constexpr const char* kClasses[] = {"none", "real-time", "best-effort", "idle"};
        const long type = now >> 13;
        Leftover leftover{Leftover::Severity::Warning,
                          "changed the I/O priority to class " +
                              std::string(type >= 0 && type <= 3 ? kClasses[type] : "unknown") +
                              ", level " + std::to_string(now & 0x1fff)};
        // Any process may take the idle and best-effort classes; only a
        // privileged one the real-time class back.
        leftover.lasting = host() >> 13 == kIoPriorityClassRealTime &&
                           !holdsCapability(CAP_SYS_NICE) && !holdsCapability(CAP_SYS_ADMIN);
        return leftover;
    }
    bool costly() const override { return true; }
};

}  // namespace

std::vector<std::unique_ptr<StateGuard>> schedulingGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
    guards.push_back(std::make_unique<NiceGuard>());
    guards.push_back(std::make_unique<PolicyGuard>());
    guards.push_back(std::make_unique<AffinityGuard>());
    guards.push_back(std::make_unique<IoPriorityGuard>());
    return guards;
}

}  // namespace host::guards
