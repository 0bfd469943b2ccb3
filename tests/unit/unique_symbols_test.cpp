#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "built_files.h"
#include "loader/unique_symbols.h"

namespace {

// An ELF module of a string table, a dynamic symbol table that uses it and
// the section table: laid out sound, then broken one field at a time.
struct ElfImage {
    Elf64_Ehdr header{};
    Elf64_Shdr sections[3]{};  // none, .dynsym, .dynstr
    std::vector<Elf64_Sym> symbols;
    std::string strings;
    std::size_t cut = std::string::npos;  // the file ends here
    std::size_t symbolsAt = 0;            // where layOut put them, whatever
    std::size_t sectionsAt = 0;           // the header and table then say

    ElfImage() {
        std::memcpy(header.e_ident, ELFMAG, SELFMAG);
        header.e_ident[EI_CLASS] = ELFCLASS64;
        header.e_shentsize = sizeof(Elf64_Shdr);
        header.e_shnum = 3;
        strings = std::string("\0_ZN11SharedCount5loadsE\0plain\0", 31);
        const auto symbol = [](Elf64_Word name, unsigned char bind, Elf64_Section section) {
            Elf64_Sym entry{};
            entry.st_name = name;
            entry.st_info = ELF64_ST_INFO(bind, STT_OBJECT);
            entry.st_shndx = section;
            return entry;
        };
        symbols = {symbol(0, STB_LOCAL, SHN_UNDEF), symbol(1, STB_GNU_UNIQUE, 7),
                   symbol(25, STB_GLOBAL, 7), symbol(1, STB_GNU_UNIQUE, SHN_UNDEF)};
        layOut();
    }

    // Each part after the one before; the offsets point at them.
    void layOut() {
        sections[2] = {};
        sections[2].sh_type = SHT_STRTAB;
        sections[2].sh_offset = sizeof(Elf64_Ehdr);
        sections[2].sh_size = strings.size();
        sections[1] = {};
        sections[1].sh_type = SHT_DYNSYM;
        sections[1].sh_link = 2;
        sections[1].sh_entsize = sizeof(Elf64_Sym);
        symbolsAt = (sizeof(Elf64_Ehdr) + strings.size() + 7) / 8 * 8;
        sections[1].sh_offset = symbolsAt;
        sections[1].sh_size = symbols.size() * sizeof(Elf64_Sym);
        sectionsAt = symbolsAt + sections[1].sh_size;
        header.e_shoff = sectionsAt;
    }

    std::string bytes() const {
        std::string image(sectionsAt + sizeof(sections), '\0');
        std::memcpy(image.data(), &header, sizeof(header));
        std::memcpy(image.data() + sizeof(Elf64_Ehdr), strings.data(), strings.size());
        std::memcpy(image.data() + symbolsAt, symbols.data(), symbols.size() * sizeof(Elf64_Sym));
        std::memcpy(image.data() + sectionsAt, sections, sizeof(sections));
        return image.substr(0, cut);
    }
};

struct Row {
    const char* name;
    std::function<void(ElfImage&)> edit;
    std::vector<std::string> names;
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class UniqueSymbols : public ::testing::TestWithParam<Row> {};

// Nothing outside the file is read, and nothing it asks for beyond its size
// is allocated: what cannot be read as a module's symbols is no symbol.
TEST_P(UniqueSymbols, AreReadOnlyFromWithinTheFile) {
    ElfImage image;
    GetParam().edit(image);
    EXPECT_EQ(loader::uniqueSymbolsOfImage(image.bytes()), GetParam().names);
}

constexpr std::uint64_t kHuge = std::uint64_t{1} << 62;
constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max() - 15;
const std::vector<std::string> kNone;

INSTANTIATE_TEST_SUITE_P(
    Rows, UniqueSymbols,
    ::testing::Values(
        // Defined and unique only; the undefined one is another module's.
        Row{"sound", [](ElfImage&) {}, {"SharedCount::loads"}},
        Row{"not_elf", [](ElfImage& e) { e.header.e_ident[1] = 'X'; }, kNone},
        Row{"elf32", [](ElfImage& e) { e.header.e_ident[EI_CLASS] = ELFCLASS32; }, kNone},
        Row{"cut_in_the_header", [](ElfImage& e) { e.cut = 32; }, kNone},
        Row{"section_entry_size", [](ElfImage& e) { e.header.e_shentsize = 40; }, kNone},
        Row{"sections_past_the_end", [](ElfImage& e) { e.header.e_shoff = kHuge; }, kNone},
        Row{"sections_wrapping_around", [](ElfImage& e) { e.header.e_shoff = kLast; }, kNone},
        Row{"more_sections_than_the_file", [](ElfImage& e) { e.header.e_shnum = 0xFFFF; }, kNone},
        Row{"symbols_larger_than_the_file", [](ElfImage& e) { e.sections[1].sh_size = kHuge; },
            kNone},
        Row{"symbols_wrapping_around", [](ElfImage& e) { e.sections[1].sh_offset = kLast; }, kNone},
        Row{"strings_larger_than_the_file", [](ElfImage& e) { e.sections[2].sh_size = kHuge; },
            kNone},
        Row{"strings_past_the_end", [](ElfImage& e) { e.sections[2].sh_offset = kHuge; }, kNone},
        Row{"no_strings", [](ElfImage& e) { e.sections[2].sh_size = 0; }, kNone},
        Row{"link_to_no_section", [](ElfImage& e) { e.sections[1].sh_link = 0xFFFFFFFF; }, kNone},
        Row{"link_one_past_the_sections", [](ElfImage& e) { e.sections[1].sh_link = 3; }, kNone},
        // Only the dynamic symbols bind across modules.
        Row{"static_symbols", [](ElfImage& e) { e.sections[1].sh_type = SHT_SYMTAB; }, kNone},
        Row{"symbol_entry_size", [](ElfImage& e) { e.sections[1].sh_entsize = 16; }, kNone},
        Row{"name_past_the_strings",
            [](ElfImage& e) { e.symbols[1].st_name = static_cast<Elf64_Word>(e.strings.size()); },
            kNone},
        // The table's last byte ends the last name, in place of what it held.
        Row{"name_running_off_the_strings",
            [](ElfImage& e) {
                e.strings = std::string("\0plain\0_ZN11SharedCount5loadsE", 30);
                e.symbols[1].st_name = 7;
                e.layOut();
            },
            {"_ZN11SharedCount5loads"}},
        // Three unique symbols of one 23-byte name in a 31-byte table.
        Row{"names_copied_past_the_strings",
            [](ElfImage& e) {
                e.symbols.push_back(e.symbols[1]);
                e.symbols.push_back(e.symbols[1]);
                e.layOut();
            },
            kNone},
        // A linker may end one name inside another's tail: as many bytes
        // as the table holds are read.
        Row{"names_sharing_a_tail",
            [](ElfImage& e) {
                e.strings = std::string("\0aaaa\0", 6);
                e.symbols[1].st_name = 3;
                e.symbols[2].st_name = 1;
                e.symbols[2].st_info = ELF64_ST_INFO(STB_GNU_UNIQUE, STT_OBJECT);
                e.symbols[3].st_name = 0;
                e.layOut();
            },
            {"aa", "aaaa"}},
        Row{"two_names_within_the_strings",
            [](ElfImage& e) {
                e.symbols[2].st_info = ELF64_ST_INFO(STB_GNU_UNIQUE, STT_OBJECT);
                e.layOut();
            },
            {"SharedCount::loads", "plain"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A module built as plugins without the CMake function are: its exported
// inline variable is unique.
TEST(UniqueSymbolsOfAModule, AreItsInlineVariables) {
    const std::vector<std::string> names =
        loader::uniqueSymbols(builtModule("fixture_shares_inline"));
    EXPECT_NE(std::find(names.begin(), names.end(), "SharedCount::loads"), names.end());
    EXPECT_EQ(loader::uniqueSymbols(builtModule("fixture_noop")), kNone);
    EXPECT_EQ(
        loader::uniqueSymbols(builtModule("fixture_noop").parent_path() / "no_such_module.so"),
        kNone);
}

}  // namespace
