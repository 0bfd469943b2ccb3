#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace loader {

// One name a Windows module imports from one of its DLLs: by name, or by
// ordinal when `name` is empty.
struct PeImport {
    std::string dll;
    std::string name;
    std::uint16_t ordinal = 0;
};

// The load-time imports of a PE32+ file, in the order its import table lists
// them (delay-loaded imports are not bound at load, and are not listed).
// Throws std::runtime_error when the file is not a PE32+ image or its import
// table points outside it.
std::vector<PeImport> peImports(const std::filesystem::path& path);

}  // namespace loader
