// Any bytes as a plugin's text: the JSON form is valid UTF-8, the terminal
// form holds no control character either, and the XML form only characters
// XML 1.0 allows, with no markup.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "junit_report.h"
#include "text_escape.h"

namespace {

// Valid UTF-8, as the JSON writer checks it independently of the escaper.
bool validUtf8(const std::string& text) {
    try {
        static_cast<void>(nlohmann::json(text).dump());
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

bool hasControl(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c < 0x20 || c == 0x7F || c1) {
            return true;
        }
    }
    return false;
}

// Every character of valid UTF-8 is one XML 1.0 allows, and markup only
// comes as the four entities.
bool xmlSafe(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        unsigned long code = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
        }
        const bool allowed = code == 0x9 || code == 0xA || code == 0xD ||
                             (code >= 0x20 && code <= 0xD7FF) ||
                             (code >= 0xE000 && code <= 0xFFFD) || code >= 0x10000;
        if (!allowed || code == '<' || code == '>' || code == '"') {
            return false;
        }
        if (code == '&' && text.compare(i, 5, "&amp;") != 0 && text.compare(i, 4, "&lt;") != 0 &&
            text.compare(i, 4, "&gt;") != 0 && text.compare(i, 6, "&quot;") != 0) {
            return false;
        }
        i += length;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string json = host::utf8WithEscapes(text);
    const std::string line = host::escapedText(text);
    const std::string first = host::firstLineEscaped(text, size % 300);
    const std::string xml = host::xmlText(text);
    if (!validUtf8(json) || !validUtf8(line) || hasControl(line) || !validUtf8(first) ||
        hasControl(first) || first.size() > 4 * (size % 300) + 4 || !validUtf8(xml) ||
        !xmlSafe(xml) || hasControl(xml)) {
        __builtin_trap();
    }
    // Valid UTF-8 without a backslash is its own JSON form.
    if (validUtf8(text) && text.find('\\') == std::string::npos && json != text) {
        __builtin_trap();
    }
    return 0;
}
