#include "record_seal.h"

#include <charconv>

namespace host {

namespace {
constexpr std::size_t kHexTagSize = 2 * crypto::kTagBytes;
constexpr const char* kCannotReport = "plugin-host (isolated run): cannot write the report file";
}  // namespace

RecordSeal::RecordSeal(std::string key, std::string test)
    : key_(std::move(key)), test_(std::move(test)), hmac_(key_) {}

std::string RecordSeal::hexTag(std::string_view message) const {
    static constexpr char kDigits[] = "0123456789abcdef";
    const crypto::Tag tag = hmac_.tag(message);
    std::string hex;
    hex.reserve(kHexTagSize);
    for (const unsigned char byte : tag) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
    }
    return hex;
}

// The test and the number are part of what is tagged; the NULs keep the
// three parts apart, as no test name or number holds one.
std::string RecordSeal::seal(std::string_view body, std::uint64_t number) const {
    const std::string numberText = std::to_string(number);
    std::string message = test_;
    message += '\0';
    message += numberText;
    message += '\0';
    message += body;
    std::string line(body);
    line += ' ';
    line += numberText;
    line += ' ';
    line += hexTag(message);
    return line;
}

std::optional<std::string_view> RecordSeal::open(std::string_view line, std::uint64_t& last) const {
    const auto tagAt = line.rfind(' ');
    if (tagAt == std::string_view::npos || tagAt == 0 || line.size() - tagAt - 1 != kHexTagSize) {
        return std::nullopt;
    }
    const auto numberAt = line.rfind(' ', tagAt - 1);
    if (numberAt == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view numberText = line.substr(numberAt + 1, tagAt - numberAt - 1);
    std::uint64_t number = 0;
    const auto [end, error] =
        std::from_chars(numberText.data(), numberText.data() + numberText.size(), number);
    if (error != std::errc() || end != numberText.data() + numberText.size() || number <= last) {
        return std::nullopt;
    }
    const std::string_view body = line.substr(0, numberAt);
    // The same bytes a seal of this body and number would give, tag and all.
    if (!crypto::sameBytes(seal(body, number), line)) {
        return std::nullopt;
    }
    last = number;
    return body;
}

std::string RecordSeal::cannotReportLine() const {
    std::string message = test_;
    message += '\0';
    message += "cannot report";
    return std::string(kCannotReport) + ' ' + hexTag(message);
}

}  // namespace host
