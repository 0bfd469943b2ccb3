#include "record_seal.h"

#include <charconv>

namespace host {

namespace {
constexpr const char* kCannotReport = "plugin-host (isolated run): cannot write the report file";
}  // namespace

RecordSeal::RecordSeal(std::string key, std::string test)
    : key_(std::move(key)), test_(std::move(test)), mac_(key_) {}

RecordSeal::HexTag RecordSeal::hexTag(std::string_view message) const {
    static constexpr char kDigits[] = "0123456789abcdef";
    const crypto::Tag tag = mac_.tag(message);
    HexTag hex{};
    for (std::size_t i = 0; i < tag.size(); ++i) {
        hex[2 * i] = kDigits[tag[i] >> 4];
        hex[2 * i + 1] = kDigits[tag[i] & 0xF];
    }
    return hex;
}

// The test and the number are part of what is tagged; the NULs keep the
// three parts apart, as no test name or number holds one.
RecordSeal::HexTag RecordSeal::recordTag(std::string_view body, std::string_view number) const {
    std::string message;
    message.reserve(test_.size() + number.size() + body.size() + 2);
    message += test_;
    message += '\0';
    message += number;
    message += '\0';
    message += body;
    return hexTag(message);
}

std::string RecordSeal::seal(std::string_view body, std::uint64_t number) const {
    const std::string numberText = std::to_string(number);
    const HexTag tag = recordTag(body, numberText);
    std::string line;
    line.reserve(body.size() + numberText.size() + tag.size() + 2);
    line += body;
    line += ' ';
    line += numberText;
    line += ' ';
    line.append(tag.data(), tag.size());
    return line;
}

std::optional<std::string_view> RecordSeal::open(std::string_view line, std::uint64_t& last) const {
    constexpr std::size_t kTagSize = std::tuple_size_v<HexTag>;
    if (line.size() < kTagSize + 3 || line[line.size() - kTagSize - 1] != ' ') {
        return std::nullopt;
    }
    const std::size_t tagAt = line.size() - kTagSize;
    const auto numberAt = line.rfind(' ', tagAt - 2);
    if (numberAt == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view numberText = line.substr(numberAt + 1, tagAt - 2 - numberAt);
    std::uint64_t number = 0;
    const auto [end, error] =
        std::from_chars(numberText.data(), numberText.data() + numberText.size(), number);
    if (error != std::errc() || end != numberText.data() + numberText.size() || number <= last) {
        return std::nullopt;
    }
    const std::string_view body = line.substr(0, numberAt);
    const HexTag tag = recordTag(body, numberText);
    if (!crypto::sameBytes(std::string_view(tag.data(), tag.size()), line.substr(tagAt))) {
        return std::nullopt;
    }
    last = number;
    return body;
}

std::string RecordSeal::cannotReportLine() const {
    std::string message = test_;
    message += '\0';
    message += "cannot report";
    const HexTag tag = hexTag(message);
    return std::string(kCannotReport) + ' ' + std::string(tag.data(), tag.size());
}

}  // namespace host
