#include "text_escape.h"

#include <cstdio>

namespace host {

namespace {

void escapeByte(std::string& out, unsigned char byte) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    out += hex;
}

// The length of the valid UTF-8 sequence at `i`, or 0 when there is none.
std::size_t sequenceLength(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned long codePoint = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i + k) & 0x3Fu);
    }
    const bool overlong =
        (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    if (overlong || surrogate || codePoint > 0x10FFFF) {
        return 0;
    }
    return length;
}

}  // namespace

std::string utf8WithEscapes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            out += text[i];
            ++i;
        } else if (const std::size_t length = sequenceLength(text, i); length == 0) {
            escapeByte(out, byte);
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string escapedText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            escapeByte(out, byte);
            ++i;
        } else if (byte < 0x80) {
            out += text[i];
            ++i;
        } else if (const std::size_t length = sequenceLength(text, i); length == 0) {
            escapeByte(out, byte);
            ++i;
        } else if (length == 2 && byte == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            // C1 controls, U+0080 to U+009F: a terminal acts on them too.
            escapeByte(out, byte);
            escapeByte(out, static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

std::string firstLineEscaped(const std::string& text, std::size_t limit) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    const bool cut = line.size() > limit;
    if (cut) {
        line.resize(limit);
    }
    return escapedText(line) + (cut ? " ..." : "");
}

}  // namespace host
