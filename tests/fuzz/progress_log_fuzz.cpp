// Any bytes as a child's log: read without throwing, and every byte is
// either a record's or counted as the plugin's garbage.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "progress_log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view log(reinterpret_cast<const char*>(data), size);
    const host::ChildProgress progress = host::parseProgress(log);
    std::size_t lines = 1;
    for (const char c : log) {
        lines += c == '\n';
    }
    if (progress.garbageBytes > size || progress.records > lines ||
        (progress.garbageDuring && progress.garbageBytes == 0)) {
        __builtin_trap();
    }
    return 0;
}
