// Any bytes as a plugin's text: the JSON form is valid UTF-8, and the
// terminal form holds no control character either.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string json = host::utf8WithEscapes(text);
    const std::string line = host::escapedText(text);
    const std::string first = host::firstLineEscaped(text, size % 300);
    if (!validUtf8(json) || !validUtf8(line) || hasControl(line) || !validUtf8(first) ||
        hasControl(first) || first.size() > 4 * (size % 300) + 4) {
        __builtin_trap();
    }
    // Valid UTF-8 without a backslash is its own JSON form.
    if (validUtf8(text) && text.find('\\') == std::string::npos && json != text) {
        __builtin_trap();
    }
    return 0;
}
