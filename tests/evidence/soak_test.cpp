#include <gtest/gtest.h>
#include <sys/resource.h>

#include "built_files.h"

namespace {

// Peak resident memory, in KiB, of all children waited for so far.
long childrenPeakKiB() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_maxrss;
}

void runHost(int cycles) {
    const auto termination = process::run(builtFile(PLUGIN_HOST_FILE_NAME),
                                          {"--in-process", "--cycles", std::to_string(cycles),
                                           process::pathToUtf8(builtModule("Velquist"))},
                                          {"/dev/null", ""});
    ASSERT_EQ(termination.exitCode, 0) << termination.description;
}

}  // namespace

// Repeated reloads must not cost memory: the peak after ten thousand cycles
// stays within 64 KiB of the peak after a hundred.
TEST(ReloadSoak, ResidentMemoryStaysFlatOverTenThousandCycles) {
    runHost(100);
    const long afterHundred = childrenPeakKiB();
    runHost(10000);
    const long afterTenThousand = childrenPeakKiB();
    RecordProperty("peak_kib_100", std::to_string(afterHundred));
    RecordProperty("peak_kib_10000", std::to_string(afterTenThousand));
    std::printf("peak RSS: %ld KiB after 100 cycles, %ld KiB after 10000\n", afterHundred,
                afterTenThousand);
    EXPECT_LE(afterTenThousand - afterHundred, 64);
}
