#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>

#include "built_files.h"

namespace {

// The lowest peak resident memory, in KiB, that plugin-host reports for a
// few runs of `cycles` cycles. One run's peak moves by a few pages with the
// address-space layout it happens to get; the lowest of a few does not.
long lowestPeakKiB(int cycles, const std::filesystem::path& reportFile) {
    long lowest = 0;
    for (int run = 0; run < 3; ++run) {
        const auto termination =
            process::run(builtFile(PLUGIN_HOST_FILE_NAME),
                         {"--json", "--test", "lifecycle", "--cycles", std::to_string(cycles),
                          process::pathToUtf8(builtModule("Velquist"))},
                         {reportFile, ""});
        EXPECT_EQ(termination.exitCode, 0) << termination.description;
        const long peak = nlohmann::json::parse(std::ifstream(reportFile))["peakResidentKiB"];
        lowest = run == 0 ? peak : std::min(lowest, peak);
    }
    return lowest;
}

}  // namespace

// Repeated reloads must not cost memory: the peak after ten thousand cycles
// stays within 64 KiB of the peak after a hundred.
TEST(ReloadSoak, ResidentMemoryStaysFlatOverTenThousandCycles) {
    const auto reportFile = std::filesystem::temp_directory_path() /
                            ("soak-" + std::to_string(std::random_device{}()) + ".json");
    const long afterHundred = lowestPeakKiB(100, reportFile);
    const long afterTenThousand = lowestPeakKiB(10000, reportFile);
    std::filesystem::remove(reportFile);
    ASSERT_GT(afterHundred, 0);
    std::printf("peak RSS: %ld KiB after 100 cycles, %ld KiB after 10000\n", afterHundred,
                afterTenThousand);
    EXPECT_LE(afterTenThousand - afterHundred, 64);
}
