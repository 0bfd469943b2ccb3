#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "guards/guard.h"
#include "loader/library.h"
#include "options.h"
#include "test_report.h"

namespace host {

// Everything a plugin can leave in its host's process beyond the module
// itself, watched over one test: the process-wide state the guards keep,
// descriptors (handles on Windows) left open, and memory that grows with
// every load. Made before the test's first load.
class Leftovers {
public:
    explicit Leftovers(const Options& options);

    // At the unload of cycle `cycle`, while the module is still mapped: what
    // the plugin left since the last unload. The failures, in one line, are
    // put back at once (the test stops there); the warnings go to `report`,
    // and what they name stays as the plugin left it into the next cycle,
    // as the real host keeps it. A long lifecycle reads the costly kinds on
    // its first and last cycle and every kCostlyEvery-th: what a plugin
    // leaves in between is found, and blamed, at the next of those. A
    // sequence reads them at every unload.
    std::optional<std::string> atUnload(const loader::Library& module,
                                        const std::filesystem::path& file, int cycle,
                                        TestReport& report);
    // After a step of `module` while other modules are loaded beside it
    // (--together): what is new since the last look, each item as it is,
    // and nothing put back.
    // `module` is null once it has been unloaded.
    std::vector<guards::Leftover> afterStep(const loader::Library* module,
                                            const std::filesystem::path& file);
    // After cycle `cycle` has unloaded its module.
    void cycleEnded(int cycle, TestReport& report);
    // When the test is over, its modules gone: the same for whatever was left
    // since the last unload, then everything is as the host had it before
    // the test; and the descriptors left open.
    std::optional<std::string> atEnd(TestReport& report);

private:
    // The failures in one line; each warning once in `report`. A failure an
    // afterStep look already blamed on another module than `file` (every
    // module, when null) is not said again: it is that module's.
    std::optional<std::string> judge(std::vector<guards::Leftover> leftovers, TestReport& report,
                                     const std::filesystem::path* file);

    const Options& options_;
    guards::StateGuards guards_;
    long descriptorsBefore_;
    std::vector<int> memorySamples_;  // the cycles after which memory is read
    // --together: each failure afterStep found, and the module whose step left it.
    std::map<std::string, std::filesystem::path> blamed_;
};

// A change a plugin left that only warns, into `report` once, saying so when
// it cannot be put back; its text as kept.
std::string addStateChange(TestReport& report, guards::Leftover leftover);

// The cycles after which a lifecycle of `cycles` samples its memory: one
// tenth in, so that what the first loads set up once is not counted, halfway
// through the rest, and the last. Empty when there are too few cycles to
// tell growth from a one-time cost.
std::vector<int> memorySampleCycles(int cycles);
inline constexpr int kFewestCyclesForGrowth = 10;

inline constexpr int kCostlyEvery = 64;

}  // namespace host
