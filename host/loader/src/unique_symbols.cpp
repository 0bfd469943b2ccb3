#include "loader/unique_symbols.h"

#if !defined(_WIN32)
#include <cxxabi.h>
#include <elf.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#endif

namespace loader {

#if defined(_WIN32)

std::vector<std::string> uniqueSymbols(const std::filesystem::path&) {
    return {};
}

#else

namespace {

std::string demangled(const char* name) {
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> readable(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), &std::free);
    return status == 0 && readable ? std::string(readable.get()) : std::string(name);
}

// `count` records of `T` at `offset`, or nothing when they lie outside the file.
template <typename T>
bool readAt(std::ifstream& in, std::uint64_t offset, T* into, std::uint64_t count,
            std::uint64_t size) {
    if (offset > size || count > (size - offset) / sizeof(T)) {
        return false;
    }
    in.seekg(static_cast<std::streamoff>(offset));
    return static_cast<bool>(
        in.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(count * sizeof(T))));
}

}  // namespace

std::vector<std::string> uniqueSymbols(const std::filesystem::path& module) {
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(module, error);
    std::ifstream in(module, std::ios::binary);
    Elf64_Ehdr header{};
    if (error || !in || !readAt(in, 0, &header, 1, size) ||
        std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
        header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_shentsize != sizeof(Elf64_Shdr)) {
        return {};
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (!readAt(in, header.e_shoff, sections.data(), sections.size(), size)) {
        return {};
    }
    std::vector<std::string> names;
    for (const Elf64_Shdr& table : sections) {
        if (table.sh_type != SHT_DYNSYM || table.sh_link >= sections.size() ||
            table.sh_entsize != sizeof(Elf64_Sym)) {
            continue;
        }
        const Elf64_Shdr& strings = sections[table.sh_link];
        std::vector<Elf64_Sym> symbols(table.sh_size / sizeof(Elf64_Sym));
        std::string text(strings.sh_size, '\0');
        if (!readAt(in, table.sh_offset, symbols.data(), symbols.size(), size) ||
            !readAt(in, strings.sh_offset, text.data(), text.size(), size) || text.empty()) {
            return {};
        }
        text.back() = '\0';  // a name that runs off the table ends there
        for (const Elf64_Sym& symbol : symbols) {
            if (ELF64_ST_BIND(symbol.st_info) == STB_GNU_UNIQUE && symbol.st_shndx != SHN_UNDEF &&
                symbol.st_name < text.size()) {
                names.push_back(demangled(text.c_str() + symbol.st_name));
            }
        }
    }
    return names;
}

#endif

}  // namespace loader
