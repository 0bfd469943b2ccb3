// Any bytes as a Linux module: the unique-symbol reader reads nothing
// outside them (the sanitizers' word), asks for no memory beyond their size
// (libFuzzer's malloc and RSS limits), and names at most one symbol per
// symbol record the bytes can hold.
#include <elf.h>

#include <cstddef>
#include <cstdint>

#include "loader/unique_symbols.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (loader::uniqueSymbolsOfImage({reinterpret_cast<const char*>(data), size}).size() >
        size / sizeof(Elf64_Sym)) {
        __builtin_trap();
    }
    return 0;
}
