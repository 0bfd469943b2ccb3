#pragma once

#include <string>

namespace host {

// Texts that come from a plugin (its descriptor, exception messages, console
// variables, the module's own file name) may hold any bytes. They are shown
// in one representation everywhere: valid UTF-8 as it is, and each byte that
// is not part of valid UTF-8 as the four characters \xNN. A backslash stays
// a backslash, so that paths read as paths; the escape and the same four
// characters written by the plugin read alike.

// That representation, for JSON: always valid UTF-8; control characters are
// left for JSON's own escapes.
std::string utf8WithEscapes(const std::string& text);

// The same, made safe to print on one line of a terminal: control
// characters (C0, DEL, and C1, U+0080 to U+009F) are written as \xNN too.
std::string escapedText(const std::string& text);

// The first line of what a plugin printed, without its line end, at most
// `limit` bytes of it, escaped; " ..." marks a line cut short.
std::string firstLineEscaped(const std::string& text, std::size_t limit = 200);

}  // namespace host
