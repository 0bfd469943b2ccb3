#pragma once

#include <algorithm>
#include <cstddef>

#include "process/process.h"

namespace process {

// Counts every byte a stream delivers and keeps only the first ones, so that
// a process writing megabytes costs nothing but the count.
inline void keep(Captured& captured, const char* data, std::size_t size,
                 std::size_t limit = kCaptureLimit) {
    captured.bytes += size;
    const std::size_t room = limit - std::min(limit, captured.head.size());
    captured.head.append(data, std::min(room, size));
}

}  // namespace process
