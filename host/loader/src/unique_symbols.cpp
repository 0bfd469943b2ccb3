#include "loader/unique_symbols.h"

#if !defined(_WIN32)
#include <cxxabi.h>
#include <elf.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
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

// `count` records of `T` at `offset`, or nothing when they lie outside the
// image. The check comes before any allocation: the counts are the file's
// word, and a hostile one asks for more memory than the machine has.
template <typename T>
bool readAt(std::string_view image, std::uint64_t offset, std::uint64_t count,
            std::vector<T>& into) {
    if (offset > image.size() || count > (image.size() - offset) / sizeof(T)) {
        return false;
    }
    into.resize(count);
    if (count != 0) {  // an empty vector's data may be null, which memcpy must not get
        std::memcpy(into.data(), image.data() + offset, count * sizeof(T));
    }
    return true;
}

}  // namespace

std::vector<std::string> uniqueSymbols(const std::filesystem::path& module) {
    std::ifstream in(module, std::ios::binary);
    if (!in) {
        return {};
    }
    return uniqueSymbolsOfImage(std::string(std::istreambuf_iterator<char>(in), {}));
}

std::vector<std::string> uniqueSymbolsOfImage(std::string_view image) {
    std::vector<Elf64_Ehdr> header;
    if (!readAt(image, 0, 1, header) || std::memcmp(header[0].e_ident, ELFMAG, SELFMAG) != 0 ||
        header[0].e_ident[EI_CLASS] != ELFCLASS64 || header[0].e_shentsize != sizeof(Elf64_Shdr)) {
        return {};
    }
    std::vector<Elf64_Shdr> sections;
    if (!readAt(image, header[0].e_shoff, header[0].e_shnum, sections)) {
        return {};
    }
    std::vector<std::string> names;
    for (const Elf64_Shdr& table : sections) {
        if (table.sh_type != SHT_DYNSYM || table.sh_link >= sections.size() ||
            table.sh_entsize != sizeof(Elf64_Sym)) {
            continue;
        }
        const Elf64_Shdr& strings = sections[table.sh_link];
        std::vector<Elf64_Sym> symbols;
        std::vector<char> text;
        if (!readAt(image, table.sh_offset, table.sh_size / sizeof(Elf64_Sym), symbols) ||
            !readAt(image, strings.sh_offset, strings.sh_size, text) || text.empty()) {
            return {};
        }
        text.back() = '\0';  // a name that runs off the table ends there
        // A linker writes each name once; names that overlap past the table's
        // own size are a hostile table's, which would have its few bytes
        // copied out a million times.
        std::size_t taken = 0;
        for (const Elf64_Sym& symbol : symbols) {
            if (ELF64_ST_BIND(symbol.st_info) != STB_GNU_UNIQUE || symbol.st_shndx == SHN_UNDEF ||
                symbol.st_name >= text.size()) {
                continue;
            }
            const char* name = text.data() + symbol.st_name;
            taken += std::strlen(name);
            if (taken > text.size()) {
                return {};
            }
            names.push_back(demangled(name));
        }
    }
    return names;
}

#endif

}  // namespace loader
