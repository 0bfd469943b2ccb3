// Any bytes as a child's log, sealed or not: read without throwing, and
// every byte is either a record's or counted as the plugin's garbage.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "progress_log.h"
#include "sealed_log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string log =
        sealMarkedLines(std::string_view(reinterpret_cast<const char*>(data), size), fuzzSeal());
    const host::ChildProgress progress = host::parseProgress(log, fuzzSeal());
    std::size_t lines = 1;
    for (const char c : log) {
        lines += c == '\n';
    }
    if (progress.garbageBytes > log.size() || progress.records > lines ||
        (progress.garbageDuring && progress.garbageBytes == 0)) {
        __builtin_trap();
    }
    return 0;
}
