#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

#include "process/process.h"

namespace process {

// One stream as it is read: every byte counted, only the first ones kept, so
// that a process writing megabytes costs nothing but the count; and a line
// sought wherever it comes, across the reads it arrives in.
class Capture {
public:
    explicit Capture(std::size_t limit = kCaptureLimit, std::string sought = {})
        : limit_(limit), sought_(std::move(sought)) {}

    void take(const char* data, std::size_t size) {
        captured_.bytes += size;
        const std::size_t room = limit_ - std::min(limit_, captured_.head.size());
        captured_.head.append(data, std::min(room, size));
        if (sought_.empty() || captured_.found) {
            return;
        }
        // What came before may hold the start of the line: all but its last byte.
        tail_.append(data, size);
        captured_.found = tail_.find(sought_) != std::string::npos;
        if (tail_.size() >= sought_.size()) {
            tail_.erase(0, tail_.size() - (sought_.size() - 1));
        }
    }

    const Captured& captured() const { return captured_; }

private:
    std::size_t limit_;
    std::string sought_;
    std::string tail_;
    Captured captured_;
};

}  // namespace process
