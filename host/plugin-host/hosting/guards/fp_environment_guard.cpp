// The floating-point environment of the thread that runs the steps: its
// rounding mode, and which exceptions trap. Every computation of the host's
// on that thread rounds, or traps, as the plugin left it.

// <fenv.h>, not <cfenv>: wine's C headers lack some of what <cfenv> names.
#include <fenv.h>

#include <string>
#include <vector>

#if defined(_WIN32)
#include <float.h>
#endif

#include "guards/kinds.h"

namespace host::guards {

namespace {

struct FpEnvironment {
    int rounding = FE_TONEAREST;
    unsigned traps = 0;  // the exceptions that trap, as FE_ flags
    bool operator==(const FpEnvironment& other) const {
        return rounding == other.rounding && traps == other.traps;
    }
};

constexpr std::pair<int, const char*> kExceptions[] = {{FE_INVALID, "FE_INVALID"},
                                                       {FE_DIVBYZERO, "FE_DIVBYZERO"},
                                                       {FE_OVERFLOW, "FE_OVERFLOW"},
                                                       {FE_UNDERFLOW, "FE_UNDERFLOW"},
                                                       {FE_INEXACT, "FE_INEXACT"}};

#if defined(_WIN32)
// The control word's mask bits are set where an exception does not trap.
constexpr std::pair<int, unsigned> kMaskBits[] = {{FE_INVALID, _EM_INVALID},
                                                  {FE_DIVBYZERO, _EM_ZERODIVIDE},
                                                  {FE_OVERFLOW, _EM_OVERFLOW},
                                                  {FE_UNDERFLOW, _EM_UNDERFLOW},
                                                  {FE_INEXACT, _EM_INEXACT}};
unsigned readTraps() {
    unsigned control = 0;
    _controlfp_s(&control, 0, 0);
    unsigned traps = 0;
    for (const auto& [flag, bit] : kMaskBits) {
        if ((control & bit) == 0) {
            traps |= static_cast<unsigned>(flag);
        }
    }
    return traps;
}
void writeTraps(unsigned traps) {
    unsigned control = 0;
    unsigned masks = 0;
    for (const auto& [flag, bit] : kMaskBits) {
        if ((traps & static_cast<unsigned>(flag)) == 0) {
            masks |= bit;
        }
    }
    _controlfp_s(&control, masks, _MCW_EM);
}
#else
unsigned readTraps() {
    return static_cast<unsigned>(fegetexcept());
}
void writeTraps(unsigned traps) {
    fedisableexcept(FE_ALL_EXCEPT);
    feenableexcept(static_cast<int>(traps));
}
#endif

const char* roundingName(int rounding) {
    switch (rounding) {
        case FE_TONEAREST:
            return "to nearest";
        case FE_UPWARD:
            return "upward";
        case FE_DOWNWARD:
            return "downward";
        case FE_TOWARDZERO:
            return "toward zero";
        default:
            return "unknown";
    }
}

class FpEnvironmentGuard final : public ValueGuard<FpEnvironment> {
    FpEnvironment read() override { return {::fegetround(), readTraps()}; }
    void write(const FpEnvironment& host) override {
        ::fesetround(host.rounding);
        writeTraps(host.traps);
    }
    Leftover judge(const FpEnvironment& now, const CodeMap&) override {
        std::vector<std::string> changes;
        if (now.rounding != host().rounding) {
            changes.push_back(std::string("the floating-point rounding mode to ") +
                              roundingName(now.rounding));
        }
        std::vector<std::string> trapping;
        for (const auto& [flag, name] : kExceptions) {
            const auto bit = static_cast<unsigned>(flag);
            if ((now.traps & bit) != 0 && (host().traps & bit) == 0) {
                trapping.push_back(name);
            }
        }
        if (!trapping.empty()) {
            changes.push_back("floating-point exceptions to trap (" + joinNames(trapping) + ")");
        } else if (now.traps != host().traps) {
            changes.push_back("floating-point exceptions not to trap");
        }
        return {Leftover::Severity::Warning, "changed " + joinNames(changes)};
    }
};

}  // namespace

std::unique_ptr<StateGuard> fpEnvironmentGuard() {
    return std::make_unique<FpEnvironmentGuard>();
}

}  // namespace host::guards
