#include <string>

#include "process/process.h"

namespace process {

// u8path and u8string are deprecated in C++20 but are the one portable way
// to say that a std::string holds UTF-8 rather than the narrow code page.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
std::filesystem::path pathFromUtf8(const std::string& text) {
    return std::filesystem::u8path(text);
}

std::string pathToUtf8(const std::filesystem::path& path) {
    auto text = path.u8string();
    return std::string(text.begin(), text.end());
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace process
