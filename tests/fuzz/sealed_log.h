#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "record_seal.h"

// The fuzzer's bytes as a child's log. A line that starts with '!' is sealed
// as the child seals its records, so that the parsers behind the seal are
// reached; any other line stays as it is: bytes a plugin wrote.
inline std::string sealMarkedLines(std::string_view bytes, const host::RecordSeal& seal) {
    std::string log;
    std::uint64_t number = 0;
    while (!bytes.empty()) {
        const auto end = bytes.find('\n');
        const std::string_view line = bytes.substr(0, end);
        if (!line.empty() && line.front() == '!') {
            log += seal.seal(line.substr(1), ++number);
        } else {
            log += line;
        }
        if (end == std::string_view::npos) {
            break;
        }
        log += '\n';
        bytes.remove_prefix(end + 1);
    }
    return log;
}

// The seal of the child that runs `test`, under a key of the fuzzer's own.
inline const host::RecordSeal& fuzzSeal(const std::string& test = "lifecycle") {
    static std::map<std::string, host::RecordSeal> seals;
    auto found = seals.find(test);
    if (found == seals.end()) {
        found = seals.try_emplace(test, std::string(crypto::kKeyBytes, 'k'), test).first;
    }
    return found->second;
}
