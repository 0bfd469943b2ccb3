// The floating-point control state of the thread that runs the steps, of
// both x86-64 units: the SSE unit's (MXCSR), which double arithmetic uses,
// and the x87 unit's, which long double uses. Every computation of the
// host's on that thread rounds, flushes or traps as the plugin left it. An
// exception left trapping is a crash in waiting: the host's next harmless
// invalid operation (0.0 / 0.0) ends the process.

#include <cstdint>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <float.h>
#endif

#include "guards/kinds.h"

namespace host::guards {

namespace {

// The exceptions in the order both units keep their mask bits.
constexpr const char* kExceptions[] = {"FE_INVALID",  "denormal operand", "FE_DIVBYZERO",
                                       "FE_OVERFLOW", "FE_UNDERFLOW",     "FE_INEXACT"};

enum Rounding { kToNearest, kDownward, kUpward, kTowardZero };  // as both units encode it
constexpr const char* kRoundingNames[] = {"to nearest", "downward", "upward", "toward zero"};

// What the host's arithmetic depends on, as the units encode it; the x87
// fields are those the platform lets a program set.
struct FpControl {
    unsigned traps = 0;  // exceptions that trap in either unit, bit n for kExceptions[n]
    int rounding = kToNearest;
    bool flushToZero = false;       // denormal results are flushed to zero
    bool denormalsAreZero = false;  // denormal inputs are read as zero
    int x87Rounding = kToNearest;
    int x87Precision = 3;  // 0: 24 bits, 2: 53 bits, 3: 64 bits
    bool operator==(const FpControl& other) const {
        return traps == other.traps && rounding == other.rounding &&
               flushToZero == other.flushToZero && denormalsAreZero == other.denormalsAreZero &&
               x87Rounding == other.x87Rounding && x87Precision == other.x87Precision;
    }
};

#if defined(_WIN32)
// The runtime's control word, which on x86-64 is the SSE unit's: its mask
// bits are set where an exception does not trap.
constexpr unsigned kMaskBits[] = {_EM_INVALID,  _EM_DENORMAL,  _EM_ZERODIVIDE,
                                  _EM_OVERFLOW, _EM_UNDERFLOW, _EM_INEXACT};
constexpr unsigned kRoundingBits[] = {_RC_NEAR, _RC_DOWN, _RC_UP, _RC_CHOP};

FpControl readControl() {
    unsigned word = 0;
    _controlfp_s(&word, 0, 0);
    FpControl now;
    for (unsigned i = 0; i < 6; ++i) {
        now.traps |= (word & kMaskBits[i]) == 0 ? 1u << i : 0u;
    }
    for (int mode = 0; mode < 4; ++mode) {
        if ((word & _MCW_RC) == kRoundingBits[mode]) {
            now.rounding = now.x87Rounding = mode;
        }
    }
    now.flushToZero = now.denormalsAreZero = (word & _MCW_DN) == _DN_FLUSH;
    return now;
}

void writeControl(const FpControl& host) {
    unsigned word = kRoundingBits[host.rounding] | (host.flushToZero ? _DN_FLUSH : _DN_SAVE);
    for (unsigned i = 0; i < 6; ++i) {
        word |= (host.traps & (1u << i)) == 0 ? kMaskBits[i] : 0u;
    }
    unsigned now = 0;
    _controlfp_s(&now, word, _MCW_EM | _MCW_RC | _MCW_DN);
}
#else
constexpr unsigned kAllExceptions = 0x3F;

std::uint16_t x87Word() {
    std::uint16_t word = 0;
    __asm__ volatile("fnstcw %0" : "=m"(word));
    return word;
}
std::uint32_t sseWord() {
    std::uint32_t word = 0;
    __asm__ volatile("stmxcsr %0" : "=m"(word));
    return word;
}

FpControl readControl() {
    const std::uint16_t x87 = x87Word();
    const std::uint32_t sse = sseWord();
    FpControl now;
    now.traps = (~x87 & kAllExceptions) | (~(sse >> 7) & kAllExceptions);
    now.rounding = static_cast<int>((sse >> 13) & 3);
    now.flushToZero = (sse & (1u << 15)) != 0;
    now.denormalsAreZero = (sse & (1u << 6)) != 0;
    now.x87Rounding = (x87 >> 10) & 3;
    now.x87Precision = (x87 >> 8) & 3;
    return now;
}

// The control bits only: the sticky status flags stay as they are.
void writeControl(const FpControl& host) {
    std::uint16_t x87 = x87Word() & ~0x0F3Fu;
    x87 |= static_cast<std::uint16_t>((~host.traps & kAllExceptions) | host.x87Precision << 8 |
                                      host.x87Rounding << 10);
    // Status flags of exceptions about to trap would fire at once.
    __asm__ volatile("fnclex");
    __asm__ volatile("fldcw %0" : : "m"(x87));
    std::uint32_t sse = sseWord() & ~0xFFC0u;
    sse |= (~host.traps & kAllExceptions) << 7 | static_cast<unsigned>(host.rounding) << 13 |
           (host.flushToZero ? 1u << 15 : 0u) | (host.denormalsAreZero ? 1u << 6 : 0u);
    __asm__ volatile("ldmxcsr %0" : : "m"(sse));
}
#endif

std::vector<std::string> exceptionNames(unsigned exceptions) {
    std::vector<std::string> names;
    for (unsigned i = 0; i < 6; ++i) {
        if ((exceptions & (1u << i)) != 0) {
            names.push_back(kExceptions[i]);
        }
    }
    return names;
}

const char* onOff(bool on) {
    return on ? " on" : " off";
}

class FpEnvironmentGuard final : public ValueGuard<FpControl> {
    FpControl read() override { return readControl(); }
    void write(const FpControl& host) override { writeControl(host); }
    Leftover judge(const FpControl& now, const CodeMap&) override {
        const FpControl& was = host();
        if (const unsigned trapping = now.traps & ~was.traps; trapping != 0) {
            const auto names = exceptionNames(trapping);
            return {Leftover::Severity::Failure,
                    "left floating-point " +
                        std::string(names.size() == 1 ? "exception " : "exceptions ") +
                        joinNames(names) + " trapping, so the host's next such operation ends it"};
        }
        std::vector<std::string> changes;
        if (now.rounding != was.rounding || now.x87Rounding != was.x87Rounding) {
            const int rounding = now.rounding != was.rounding ? now.rounding : now.x87Rounding;
            changes.push_back(std::string("the floating-point rounding mode to ") +
                              kRoundingNames[rounding]);
        }
        if (now.x87Precision != was.x87Precision) {
            static constexpr const char* kPrecisions[] = {"24 bits", "(reserved)", "53 bits",
                                                          "64 bits"};
            changes.push_back(std::string("the x87 precision to ") + kPrecisions[now.x87Precision]);
        }
        if (now.flushToZero != was.flushToZero) {
            changes.push_back(std::string("flushing denormal results to zero") +
                              onOff(now.flushToZero));
        }
        if (now.denormalsAreZero != was.denormalsAreZero) {
            changes.push_back(std::string("reading denormal inputs as zero") +
                              onOff(now.denormalsAreZero));
        }
        if (now.traps != was.traps) {
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
