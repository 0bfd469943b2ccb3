// The process's settings that prctl(2) reads and writes: whether it may
// dump core and be traced, the signal it gets when its parent dies, the
// calling thread's name, its timer slack, transparent huge pages, and the
// two that no process can undo, no_new_privs and a seccomp filter.

#include <sys/prctl.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>

#include "guards/kinds.h"

namespace host::guards {

namespace {

// A setting read as a number; `lasting` when no process can set it back.
struct Setting {
    const char* name;
    int get;
    int set;             // 0: cannot be set back
    bool resultIsValue;  // the value is prctl's result, not written through arg2
};

constexpr Setting kSettings[] = {
    {"PR_SET_DUMPABLE", PR_GET_DUMPABLE, PR_SET_DUMPABLE, true},
    {"PR_SET_PDEATHSIG", PR_GET_PDEATHSIG, PR_SET_PDEATHSIG, false},
    {"PR_SET_KEEPCAPS", PR_GET_KEEPCAPS, PR_SET_KEEPCAPS, true},
    {"PR_SET_TIMERSLACK", PR_GET_TIMERSLACK, PR_SET_TIMERSLACK, true},
    {"PR_SET_THP_DISABLE", PR_GET_THP_DISABLE, PR_SET_THP_DISABLE, true},
    {"PR_SET_CHILD_SUBREAPER", PR_GET_CHILD_SUBREAPER, PR_SET_CHILD_SUBREAPER, false},
    {"PR_SET_NO_NEW_PRIVS", PR_GET_NO_NEW_PRIVS, 0, true},
    {"PR_SET_SECCOMP", PR_GET_SECCOMP, 0, true},
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
            if (setting.resultIsValue) {
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
            if (kSettings[i].set != 0 && now.values[i] != host.values[i]) {
                prctl(kSettings[i].set, static_cast<unsigned long>(host.values[i]), 0, 0, 0);
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
                lasting = lasting || kSettings[i].set == 0;
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
