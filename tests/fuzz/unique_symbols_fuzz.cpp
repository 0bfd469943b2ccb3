// Any bytes as a Linux module: the unique-symbol reader reads nothing
// outside them (the sanitizers' word) and asks for no memory beyond their
// size (libFuzzer's -rss_limit_mb and malloc limit).
#include <cstddef>
#include <cstdint>

#include "loader/unique_symbols.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    loader::uniqueSymbolsOfImage({reinterpret_cast<const char*>(data), size});
    return 0;
}
