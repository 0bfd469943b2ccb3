// The process's settings that prctl(2) reads and writes: whether it may
// dump core and be traced, the signal it gets when its parent dies, the
// calling thread's name, its timer slack, transparent huge pages, memory
// merging, the time-stamp counter, machine-check kills, I/O flushing, the
// security bits, speculation controls, CPUID faulting (arch_prctl), and the
// three that no process can undo: no_new_privs, a seccomp filter and
// memory-deny-write-execute.

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <asm/prctl.h>
#endif

#include <array>
#include <cstring>
#include <string>

#include "guards/kinds.h"

namespace host::guards {

namespace {

// Newer than some C library headers.
#if !defined(PR_SET_MDWE)
#define PR_SET_MDWE 65
#define PR_GET_MDWE 66
#endif
#if !defined(PR_SET_MEMORY_MERGE)
#define PR_SET_MEMORY_MERGE 67
#define PR_GET_MEMORY_MERGE 68
#endif

// A setting read as a number; `lasting` when no process can set it back.
struct Setting {
    const char* name;
    int get;
    int set;             // 0: cannot be set back
    bool resultIsValue;  // the value is prctl's result, not written through arg2
    long which = -1;     // the first argument of both get and set, when there is one
    long mask = -1;      // what of the value read is written back
    bool arch = false;   // arch_prctl(2), not prctl(2)
};

constexpr long kSpeculationControls = PR_SPEC_ENABLE | PR_SPEC_DISABLE | PR_SPEC_DISABLE_NOEXEC;

constexpr Setting kSettings[] = {
    // What no process can undo, first.
    {"PR_SET_NO_NEW_PRIVS", PR_GET_NO_NEW_PRIVS, 0, true},
    {"PR_SET_SECCOMP", PR_GET_SECCOMP, 0, true},
    {"PR_SET_MDWE", PR_GET_MDWE, 0, true},
    {"PR_SET_DUMPABLE", PR_GET_DUMPABLE, PR_SET_DUMPABLE, true},
    {"PR_SET_PDEATHSIG", PR_GET_PDEATHSIG, PR_SET_PDEATHSIG, false},
    {"PR_SET_KEEPCAPS", PR_GET_KEEPCAPS, PR_SET_KEEPCAPS, true},
    {"PR_SET_TIMERSLACK", PR_GET_TIMERSLACK, PR_SET_TIMERSLACK, true},
    {"PR_SET_THP_DISABLE", PR_GET_THP_DISABLE, PR_SET_THP_DISABLE, true},
    {"PR_SET_CHILD_SUBREAPER", PR_GET_CHILD_SUBREAPER, PR_SET_CHILD_SUBREAPER, false},
    {"PR_SET_TSC", PR_GET_TSC, PR_SET_TSC, false},
    {"PR_SET_SECUREBITS", PR_GET_SECUREBITS, PR_SET_SECUREBITS, true},
    {"PR_SET_IO_FLUSHER", PR_GET_IO_FLUSHER, PR_SET_IO_FLUSHER, true},
    {"PR_SET_MEMORY_MERGE", PR_GET_MEMORY_MERGE, PR_SET_MEMORY_MERGE, true},
    {"PR_MCE_KILL", PR_MCE_KILL_GET, PR_MCE_KILL, true},
    {"PR_SET_SPECULATION_CTRL store bypass", PR_GET_SPECULATION_CTRL, PR_SET_SPECULATION_CTRL, true,
     PR_SPEC_STORE_BYPASS, kSpeculationControls},
    {"PR_SET_SPECULATION_CTRL indirect branch", PR_GET_SPECULATION_CTRL, PR_SET_SPECULATION_CTRL,
     true, PR_SPEC_INDIRECT_BRANCH, kSpeculationControls},
#if defined(__x86_64__)
    // Off, the CPUID instruction faults: a crash in waiting for whatever
    // asks the CPU what it can do, the dynamic loader among them.
    {"ARCH_SET_CPUID", ARCH_GET_CPUID, ARCH_SET_CPUID, true, -1, -1, true},
#endif
};
constexpr std::size_t kSettingCount = sizeof kSettings / sizeof kSettings[0];

struct Settings {
    std::array<long, kSettingCount> values{};
    std::array<char, 16> threadName{};
    bool operator==(const Settings& other) const {
        return values == other.values && threadName == other.threadName;
    }
};

class ProcessSettingsGuard final : public ValueGuard<Settings> {
    Settings read() override {
        Settings now;
        for (std::size_t i = 0; i < kSettingCount; ++i) {
            const Setting& setting = kSettings[i];
            if (setting.arch) {
                now.values[i] = syscall(SYS_arch_prctl, setting.get, 0);
            } else if (setting.which >= 0) {
                now.values[i] = prctl(setting.get, setting.which, 0, 0, 0);
            } else if (setting.resultIsValue) {
                now.values[i] = prctl(setting.get, 0, 0, 0, 0);
            } else {
                int value = 0;
                prctl(setting.get, &value, 0, 0, 0);
                now.values[i] = value;
            }
        }
        prctl(PR_GET_NAME, now.threadName.data(), 0, 0, 0);
        return now;
    }
    void write(const Settings& host) override {
        const Settings now = read();
        for (std::size_t i = 0; i < kSettingCount; ++i) {
            const Setting& setting = kSettings[i];
            if (setting.set == 0 || now.values[i] == host.values[i]) {
                continue;
            }
            const auto value = static_cast<unsigned long>(host.values[i] & setting.mask);
            if (setting.arch) {
                syscall(SYS_arch_prctl, setting.set, value);
            } else if (setting.set == PR_MCE_KILL) {
                prctl(PR_MCE_KILL, PR_MCE_KILL_SET, value, 0, 0);
            } else if (setting.which >= 0) {
                prctl(setting.set, setting.which, value, 0, 0);
            } else {
                prctl(setting.set, value, 0, 0, 0);
            }
        }
        if (now.threadName != host.threadName) {
            prctl(PR_SET_NAME, host.threadName.data(), 0, 0, 0);
        }
    }
    Leftover judge(const Settings& now, const CodeMap&) override {
        std::vector<std::string> changed;
        bool lasting = false;
        for (std::size_t i = 0; i < kSettingCount; ++i) {
            if (now.values[i] != host().values[i]) {
                changed.push_back(std::string(kSettings[i].name) + " " +
                                  std::to_string(now.values[i]));
                // Speculation forced off stays off.
                lasting = lasting || kSettings[i].set == 0 ||
                          (kSettings[i].mask == kSpeculationControls &&
                           (now.values[i] & PR_SPEC_FORCE_DISABLE) != 0);
            }
        }
        if (now.threadName != host().threadName) {
            changed.push_back("the thread name \"" + std::string(now.threadName.data()) + "\"");
        }
        Leftover leftover{Leftover::Severity::Warning, "set " + joinNames(changed)};
        leftover.lasting = lasting;
        return leftover;
    }
    bool costly() const override { return true; }
};

}  // namespace

std::unique_ptr<StateGuard> processSettingsGuard() {
    return std::make_unique<ProcessSettingsGuard>();
}

}  // namespace host::guards
