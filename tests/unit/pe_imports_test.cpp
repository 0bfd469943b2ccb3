#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <tuple>

#include "built_files.h"
#include "loader/pe_imports.h"

namespace loader {
// Only these tests compare imports whole; plugin-host never does.
bool operator==(const PeImport& a, const PeImport& b) {
    return std::tie(a.dll, a.name, a.ordinal) == std::tie(b.dll, b.name, b.ordinal);
}
}  // namespace loader

namespace {

using loader::NotAWindowsModule;
using loader::PeImport;
using loader::UnreadableModule;

// A PE32+ image with one section, at file offset 0x200 and address 0x1000,
// that holds an import table: what each test needs and no more.
struct PeImage {
    static constexpr std::uint32_t kPe = 0x80;
    static constexpr std::uint32_t kOptional = kPe + 24;
    static constexpr std::uint32_t kSectionTable = kOptional + 240;
    static constexpr std::uint32_t kRaw = 0x200;
    static constexpr std::uint32_t kVa = 0x1000;

    // Each DLL with what it imports: a name (hint first) or an ordinal.
    std::vector<std::pair<std::string, std::vector<PeImport>>> dlls;
    bool useBoundTable = false;  // no lookup table: the loader reads the bound one

    std::string bytes;

    template <typename T>
    void put(std::uint64_t offset, T value) {
        if (bytes.size() < offset + sizeof value) {
            bytes.resize(offset + sizeof value);
        }
        std::memcpy(bytes.data() + offset, &value, sizeof value);
    }
    void putText(std::uint64_t offset, const std::string& text) {
        bytes.resize(std::max<std::size_t>(bytes.size(), offset + text.size() + 1));
        std::memcpy(bytes.data() + offset, text.c_str(), text.size() + 1);
    }

    std::string build() {
        bytes.assign(kRaw, '\0');
        put<std::uint16_t>(0, 0x5A4D);
        put<std::uint32_t>(0x3C, kPe);
        put<std::uint32_t>(kPe, 0x00004550);
        put<std::uint16_t>(kPe + 4, 0x8664);
        put<std::uint16_t>(kPe + 6, 1);
        put<std::uint16_t>(kPe + 20, 240);
        put<std::uint16_t>(kOptional, 0x20B);
        put<std::uint32_t>(kOptional + 108, 16);
        put<std::uint32_t>(kOptional + 120, kVa);  // the import table, at the section's start
        // Descriptors first, then per DLL its name, its table and its names.
        std::uint64_t at = kRaw + 20 * (dlls.size() + 1);
        bytes.resize(at);  // the last descriptor, all zero, ends the table
        const auto rva = [](std::uint64_t offset) {
            return static_cast<std::uint32_t>(offset - kRaw + kVa);
        };
        for (std::size_t i = 0; i < dlls.size(); ++i) {
            const std::uint64_t descriptor = kRaw + 20 * i;
            putText(at, dlls[i].first);
            put<std::uint32_t>(descriptor + 12, rva(at));
            at += dlls[i].first.size() + 1;
            const std::uint64_t table = at;
            put<std::uint32_t>(descriptor + (useBoundTable ? 16 : 0), rva(table));
            at += 8 * (dlls[i].second.size() + 1);
            for (std::size_t k = 0; k < dlls[i].second.size(); ++k) {
                const PeImport& import = dlls[i].second[k];
                if (import.name.empty()) {
                    put<std::uint64_t>(table + 8 * k, (std::uint64_t{1} << 63) | import.ordinal);
                } else {
                    put<std::uint64_t>(table + 8 * k, rva(at));
                    put<std::uint16_t>(at, 7);  // the hint, which only speeds a loader up
                    putText(at + 2, import.name);
                    at += 2 + import.name.size() + 1;
                }
            }
            put<std::uint64_t>(table + 8 * dlls[i].second.size(), 0);
        }
        const auto size = static_cast<std::uint32_t>(bytes.size() - kRaw);
        put<std::uint32_t>(kSectionTable + 8, size);
        put<std::uint32_t>(kSectionTable + 12, kVa);
        put<std::uint32_t>(kSectionTable + 16, size);
        put<std::uint32_t>(kSectionTable + 20, kRaw);
        return bytes;
    }
};

PeImage twoDlls() {
    PeImage image;
    image.dlls = {
        {"pluginsdk.dll", {{"pluginsdk.dll", "?getCvar@@", 0}, {"pluginsdk.dll", "", 12}}},
        {"KERNEL32.dll", {{"KERNEL32.dll", "", 1}, {"KERNEL32.dll", "Sleep", 0}}}};
    return image;
}

TEST(PeImports, ReadsNamesAndOrdinalsOfEveryDllInTableOrder) {
    for (const bool bound : {false, true}) {
        PeImage image = twoDlls();
        image.useBoundTable = bound;
        EXPECT_EQ(loader::peImportsOfImage(image.build()),
                  (std::vector<PeImport>{{"pluginsdk.dll", "?getCvar@@", 0},
                                         {"pluginsdk.dll", "", 12},
                                         {"KERNEL32.dll", "", 1},
                                         {"KERNEL32.dll", "Sleep", 0}}));
    }
    // The section table may come last, with nothing after it.
    std::string tableLast = twoDlls().build();
    const auto end = static_cast<std::uint16_t>(tableLast.size() - PeImage::kOptional);
    tableLast += tableLast.substr(PeImage::kSectionTable, 40);
    std::memcpy(tableLast.data() + PeImage::kPe + 20, &end, 2);
    EXPECT_EQ(loader::peImportsOfImage(tableLast).size(), 4u);
    // Exactly the two data directories the import table needs, and a
    // section whose virtual size is smaller than its data in the file.
    std::string lean = twoDlls().build();
    const std::uint32_t two = 2;
    const std::uint32_t one = 1;
    std::memcpy(lean.data() + PeImage::kOptional + 108, &two, 4);
    std::memcpy(lean.data() + PeImage::kSectionTable + 8, &one, 4);
    EXPECT_EQ(loader::peImportsOfImage(lean).size(), 4u);
    // Read from its file, too.
    const auto path = std::filesystem::temp_directory_path() /
                      ("pe-" + std::to_string(std::random_device{}()) + ".dll");
    std::ofstream(path, std::ios::binary) << lean;
    EXPECT_EQ(loader::peImportsOfImage(lean), loader::peImports(path));
    std::filesystem::remove(path);
    EXPECT_THROW(loader::peImports(path), NotAWindowsModule);
    PeImage none;
    EXPECT_TRUE(loader::peImportsOfImage(none.build()).empty());
    std::string noTable = none.build();
    std::memset(noTable.data() + PeImage::kOptional + 120, 0, 4);
    EXPECT_TRUE(loader::peImportsOfImage(noTable).empty());
    std::memset(noTable.data() + PeImage::kOptional + 108, 0, 4);  // fewer directories
    EXPECT_TRUE(loader::peImportsOfImage(noTable).empty());
    // A 32-bit module's optional header is of the other kind (PE32).
    std::string pe32 = twoDlls().build();
    const std::uint16_t pe32Kind = 0x10B;
    std::memcpy(pe32.data() + PeImage::kOptional, &pe32Kind, 2);
    try {
        loader::peImportsOfImage(pe32);
        ADD_FAILURE() << "a PE32 image read as PE32+";
    } catch (const UnreadableModule& error) {
        EXPECT_STREQ(error.what(),
                     "is a 32-bit Windows module (no PE32+ header); the host is 64-bit");
    }
}

// Every field the reader follows, set to point outside the file, near
// 4 GiB where a 32-bit sum would wrap back into it, at its last byte, or
// into the file's headers, which no section maps.
TEST(PeImports, EveryFieldThatPointsOutsideTheFileIsRefused) {
    const std::string headers = "its headers point outside the file";
    const std::string table = "its import table points outside the file";
    struct Row {
        std::uint64_t field;  // offset in the built image
        std::uint32_t value;
        std::string what;
    };
    const std::uint64_t first = PeImage::kRaw;  // the first import descriptor
    for (const Row& row : std::vector<Row>{
             {0x3C, 0xFFFFFFFC, "is not a Windows module"},
             {0x3C, 0x7FFFFFF0, "is not a Windows module"},
             {PeImage::kPe + 6, 0xFFFF, headers},   // section count
             {PeImage::kPe + 20, 0xFFFF, headers},  // optional header size
             {PeImage::kOptional + 120, 0xFFFFFFF0, table},
             {PeImage::kSectionTable + 20, 0xFFFFFFF0, table},  // raw offset
             {PeImage::kSectionTable + 12, 0xFFFFFFF0, table},  // its address
             {first, 0xFFFFFFF8, table},                        // lookup table
             {first + 12, 0xFFFFFFFF, table},                   // DLL name
             {first + 12, PeImage::kVa + 0x7FF0, table},
             {first + 12, PeImage::kVa - 0x100, table},  // below the section, above the headers
         }) {
        PeImage image = twoDlls();
        std::string bytes = image.build();
        std::memcpy(bytes.data() + row.field, &row.value, 4);
        try {
            loader::peImportsOfImage(bytes);
            ADD_FAILURE() << "field at " << row.field << " read as if in the file";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), row.what) << "field at " << row.field;
        }
    }
    // A name's table entry, and a name that runs to the end of the file
    // without its terminating zero.
    PeImage image = twoDlls();
    std::string bytes = image.build();
    const auto nameEntry = [&bytes](std::uint32_t rva) {
        std::uint32_t lookup = 0;
        std::memcpy(&lookup, bytes.data() + PeImage::kRaw, 4);
        std::memcpy(bytes.data() + lookup - PeImage::kVa + PeImage::kRaw, &rva, 4);
    };
    nameEntry(0x7FFFFFF0);
    EXPECT_THROW(loader::peImportsOfImage(bytes), UnreadableModule);
    // A name that starts just past the section's end, though still in the
    // file, lies outside what the section maps.
    bytes = image.build();
    const auto past = static_cast<std::uint32_t>(bytes.find("Sleep") - 2 - PeImage::kRaw);
    std::memcpy(bytes.data() + PeImage::kSectionTable + 8, &past, 4);
    std::memcpy(bytes.data() + PeImage::kSectionTable + 16, &past, 4);
    EXPECT_THROW(loader::peImportsOfImage(bytes), UnreadableModule);
    bytes = image.build();
    bytes.back() = 'x';
    EXPECT_THROW(loader::peImportsOfImage(bytes), UnreadableModule);
}

TEST(PeImports, EveryCutOfAnImageIsRefusedNotMisread) {
    const std::string whole = twoDlls().build();
    for (std::size_t size = 0; size < whole.size(); ++size) {
        try {
            loader::peImportsOfImage(std::string_view(whole).substr(0, size));
            ADD_FAILURE() << "cut at " << size << " read as whole";
        } catch (const NotAWindowsModule&) {
        } catch (const UnreadableModule&) {
        }
    }
}

TEST(PeImports, AThirtyTwoBitModuleIsRefusedForWhatItIs) {
    std::string bytes = twoDlls().build();
    bytes[PeImage::kOptional] = 0x0B;
    bytes[PeImage::kOptional + 1] = 0x01;
    try {
        loader::peImportsOfImage(bytes);
        ADD_FAILURE();
    } catch (const UnreadableModule& error) {
        EXPECT_STREQ(error.what(),
                     "is a 32-bit Windows module (no PE32+ header); the host is 64-bit");
    }
}

#if defined(_WIN32)
// What the host's loader binds when it loads Velquist: the three SDK
// operations, by their MSVC names, from pluginsdk.dll.
TEST(PeImports, VelquistImportsTheThreeSdkOperationsByName) {
    std::vector<std::string> sdk;
    for (const auto& import : loader::peImports(builtModule("Velquist"))) {
        EXPECT_FALSE(import.dll.empty());
        if (import.dll == "pluginsdk.dll") {
            EXPECT_FALSE(import.name.empty());
            sdk.push_back(import.name);
        }
    }
    std::sort(sdk.begin(), sdk.end());
    EXPECT_EQ(sdk, (std::vector<std::string>{
                       "??1CVarWrapper@@QEAA@XZ",
                       "?getCvar@CVarManagerWrapper@@QEAA?AVCVarWrapper@@V?$basic_string@DU?$"
                       "char_traits@D@std@@V?$allocator@D@2@@std@@@Z",
                       "?setValue@CVarWrapper@@QEAAXV?$basic_string@DU?$char_traits@D@std@@V?$"
                       "allocator@D@2@@std@@@Z"}));
}
#endif

TEST(PeImports, WhatIsNotAWindowsModuleIsRefused) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("pe-" + std::to_string(std::random_device{}()) + ".dll");
    for (const std::string& bytes :
         {std::string(), std::string("MZ"), std::string("MZ") + std::string(58, '\0') + "\xff\xff",
          std::string("not a module at all, just text")}) {
        std::ofstream(path, std::ios::binary) << bytes;
        EXPECT_THROW(loader::peImports(path), std::runtime_error) << bytes.size();
    }
    std::filesystem::remove(path);
#if !defined(_WIN32)
    EXPECT_THROW(loader::peImports(builtModule("Velquist")), std::runtime_error);
#endif
}

}  // namespace
