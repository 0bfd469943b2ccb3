#pragma once

#include <string>

namespace host {

// A text from a plugin made safe to print on one line of a terminal: valid
// UTF-8 stays as it is, except control characters (C0, DEL, C1); those, any
// byte that is not part of valid UTF-8, and the backslash itself are written
// as \xNN (\\ for the backslash), so every byte can still be told.
std::string escapedText(const std::string& text);

// The first line of what a plugin printed, without its line end, at most
// `limit` bytes of it, escaped; " ..." marks a line cut short.
std::string firstLineEscaped(const std::string& text, std::size_t limit = 200);

}  // namespace host
