#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace loader {

// The symbols a module defines with the binding glibc gives a `static`
// member of a template or an `inline` variable (STB_GNU_UNIQUE): one
// process binds every module's definition of such a name to one object,
// and keeps the module loaded for good. Demangled, in the order of the
// module's dynamic symbol table; empty where the file cannot be read as an
// ELF module, and on Windows, whose loader binds no symbol that way.
std::vector<std::string> uniqueSymbols(const std::filesystem::path& module);
#if !defined(_WIN32)
// The same, of a file's bytes: nothing that lies outside them is read, and
// nothing is allocated beyond their size.
std::vector<std::string> uniqueSymbolsOfImage(std::string_view image);
#endif

}  // namespace loader
