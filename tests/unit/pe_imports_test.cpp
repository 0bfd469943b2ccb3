#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "built_files.h"
#include "loader/pe_imports.h"

namespace {

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
