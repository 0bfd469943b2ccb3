// The process's resource limits: a limit lowered under the host makes it
// fail later for no reason of its own (no descriptor, no stack, SIGXCPU).

#include <sys/resource.h>

#include <string>
#include <vector>

#include "guards/kinds.h"
#include "guards/privilege.h"

namespace host::guards {

namespace {

struct Limit {
    int resource;
    const char* name;
};
// Every limit Linux has (getrlimit(2)), by the name a reader looks up.
constexpr Limit kLimits[] = {{RLIMIT_AS, "RLIMIT_AS"},
                             {RLIMIT_CORE, "RLIMIT_CORE"},
                             {RLIMIT_CPU, "RLIMIT_CPU"},
                             {RLIMIT_DATA, "RLIMIT_DATA"},
                             {RLIMIT_FSIZE, "RLIMIT_FSIZE"},
                             {RLIMIT_LOCKS, "RLIMIT_LOCKS"},
                             {RLIMIT_MEMLOCK, "RLIMIT_MEMLOCK"},
                             {RLIMIT_MSGQUEUE, "RLIMIT_MSGQUEUE"},
                             {RLIMIT_NICE, "RLIMIT_NICE"},
                             {RLIMIT_NOFILE, "RLIMIT_NOFILE"},
                             {RLIMIT_NPROC, "RLIMIT_NPROC"},
                             {RLIMIT_RSS, "RLIMIT_RSS"},
                             {RLIMIT_RTPRIO, "RLIMIT_RTPRIO"},
                             {RLIMIT_RTTIME, "RLIMIT_RTTIME"},
                             {RLIMIT_SIGPENDING, "RLIMIT_SIGPENDING"},
                             {RLIMIT_STACK, "RLIMIT_STACK"}};
constexpr int kLimitCount = sizeof kLimits / sizeof kLimits[0];

struct Limits {
    rlimit value[kLimitCount]{};
    bool operator==(const Limits& other) const {
        for (int i = 0; i < kLimitCount; ++i) {
            if (value[i].rlim_cur != other.value[i].rlim_cur ||
                value[i].rlim_max != other.value[i].rlim_max) {
                return false;
            }
        }
        return true;
    }
};

std::string amount(rlim_t value) {
    return value == RLIM_INFINITY ? "unlimited" : std::to_string(value);
}

class ResourceLimitsGuard final : public ValueGuard<Limits> {
    Limits read() override {
        Limits now;
        for (int i = 0; i < kLimitCount; ++i) {
            getrlimit(kLimits[i].resource, &now.value[i]);
        }
        return now;
    }
    // A hard limit lowered stays so unless plugin-host may raise it.
    void write(const Limits& limits) override {
        for (int i = 0; i < kLimitCount; ++i) {
            setrlimit(kLimits[i].resource, &limits.value[i]);
        }
    }
    Leftover judge(const Limits& now, const CodeMap&) override {
        std::vector<std::string> changed;
        bool lasting = false;
        for (int i = 0; i < kLimitCount; ++i) {
            const rlimit& was = host().value[i];
            const rlimit& is = now.value[i];
            if (is.rlim_cur != was.rlim_cur || is.rlim_max != was.rlim_max) {
                changed.push_back(std::string(kLimits[i].name) + " to " + amount(is.rlim_cur) +
                                  " (hard " + amount(is.rlim_max) + ")");
                lasting =
                    lasting || (is.rlim_max < was.rlim_max && !holdsCapability(CAP_SYS_RESOURCE));
            }
        }
        Leftover leftover{Leftover::Severity::Warning, "changed " + joinNames(changed)};
        leftover.lasting = lasting;
        return leftover;
    }
    bool costly() const override { return true; }
};

}  // namespace

std::unique_ptr<StateGuard> resourceLimitsGuard() {
    return std::make_unique<ResourceLimitsGuard>();
}

}  // namespace host::guards
