#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace loader {

// One name a Windows module imports from one of its DLLs: by name, or by
// ordinal when `name` is empty.
struct PeImport {
    std::string dll;
    std::string name;
    std::uint16_t ordinal = 0;
};

// The file is not a Windows module at all: the system loader says so in its
// own words.
class NotAWindowsModule : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A Windows module that no host can use: a 32-bit one, or one whose headers
// or import table cannot be read, whatever a loader would make of it.
class UnreadableModule : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The load-time imports of a PE32+ file, in the order its import table lists
// them (delay-loaded imports are not bound at load, and are not listed).
// Throws NotAWindowsModule or UnreadableModule, and nothing else whatever
// the bytes.
std::vector<PeImport> peImports(const std::filesystem::path& path);
// The same, of a file's bytes.
std::vector<PeImport> peImportsOfImage(std::string_view image);

}  // namespace loader
