#include "loader/pe_imports.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace loader {

namespace {

// Reads little-endian fields of a file image, refusing any read outside it.
class Image {
public:
    explicit Image(std::string_view bytes) : bytes_(bytes) {}

    // What a read outside the file is blamed on from now on, with its verb.
    void reading(const char* part) { part_ = part; }

    template <typename T>
    T at(std::uint64_t offset) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) {
            throw UnreadableModule(std::string(part_) + " outside the file");
        }
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof value);
        return value;
    }

    std::string text(std::uint64_t offset) const {
        std::string result;
        for (;; ++offset) {
            const char c = at<char>(offset);
            if (c == '\0') {
                return result;
            }
            result += c;
        }
    }

private:
    std::string_view bytes_;
    const char* part_ = "its headers point";
};

struct Section {
    std::uint32_t virtualAddress;
    std::uint32_t virtualSize;
    std::uint32_t rawOffset;
    std::uint32_t rawSize;
};

}  // namespace

std::vector<PeImport> peImports(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw NotAWindowsModule("cannot be read");
    }
    return peImportsOfImage(std::string(std::istreambuf_iterator<char>(in), {}));
}

std::vector<PeImport> peImportsOfImage(std::string_view bytes) {
    Image image(bytes);
    const auto signature = [&image](std::uint64_t offset, auto expected) {
        try {
            return image.at<decltype(expected)>(offset) == expected;
        } catch (const UnreadableModule&) {
            return false;
        }
    };
    if (!signature(0, std::uint16_t{0x5A4D})) {  // "MZ"
        throw NotAWindowsModule("is not a Windows module");
    }
    // Widened first: offsets near 4 GiB must not wrap back into the file.
    const std::uint64_t pe = image.at<std::uint32_t>(0x3C);
    if (!signature(pe, std::uint32_t{0x00004550})) {  // "PE\0\0"
        throw NotAWindowsModule("is not a Windows module");
    }
    const auto sectionCount = image.at<std::uint16_t>(pe + 6);
    const auto optionalSize = image.at<std::uint16_t>(pe + 20);
    const std::uint64_t optional = pe + 24;
    if (image.at<std::uint16_t>(optional) != 0x20B) {
        throw UnreadableModule("is a 32-bit Windows module (no PE32+ header); the host is 64-bit");
    }
    // PE32+: the data directories start at 112; the import table is entry 1.
    const auto directoryCount = image.at<std::uint32_t>(optional + 108);
    if (directoryCount < 2) {
        return {};
    }
    const auto importRva = image.at<std::uint32_t>(optional + 112 + 8);
    std::vector<Section> sections;
    const std::uint64_t table = optional + optionalSize;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        const std::uint64_t header = table + 40u * i;
        sections.push_back(
            Section{image.at<std::uint32_t>(header + 12), image.at<std::uint32_t>(header + 8),
                    image.at<std::uint32_t>(header + 20), image.at<std::uint32_t>(header + 16)});
    }
    const auto offsetOf = [&sections](std::uint64_t rva) -> std::uint64_t {
        for (const auto& s : sections) {
            const std::uint64_t size = std::max(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva < std::uint64_t{s.virtualAddress} + size) {
                return rva - s.virtualAddress + s.rawOffset;
            }
        }
        throw UnreadableModule("its import table points outside the file");
    };

    std::vector<PeImport> imports;
    if (importRva == 0) {
        return imports;
    }
    image.reading("its import table points");
    for (std::uint64_t descriptor = offsetOf(importRva);; descriptor += 20) {
        const auto lookup = image.at<std::uint32_t>(descriptor);
        const auto nameRva = image.at<std::uint32_t>(descriptor + 12);
        const auto bound = image.at<std::uint32_t>(descriptor + 16);
        if (nameRva == 0 && bound == 0) {
            break;
        }
        const std::string dll = image.text(offsetOf(nameRva));
        for (std::uint64_t thunk = offsetOf(lookup != 0 ? lookup : bound);; thunk += 8) {
            const auto entry = image.at<std::uint64_t>(thunk);
            if (entry == 0) {
                break;
            }
            if ((entry >> 63) != 0) {
                imports.push_back(PeImport{dll, {}, static_cast<std::uint16_t>(entry & 0xFFFF)});
            } else {
                imports.push_back(PeImport{dll, image.text(offsetOf(entry & 0x7FFFFFFF) + 2), 0});
            }
        }
    }
    return imports;
}

}  // namespace loader
