// Any bytes as a Windows module: the import reader refuses them in its own
// two ways, or reads names that lie inside them.
#include <cstddef>
#include <cstdint>

#include "loader/pe_imports.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        for (const loader::PeImport& import :
             loader::peImportsOfImage({reinterpret_cast<const char*>(data), size})) {
            if (import.dll.size() >= size || import.name.size() >= size) {
                __builtin_trap();
            }
        }
    } catch (const loader::NotAWindowsModule&) {
    } catch (const loader::UnreadableModule&) {
    }
    return 0;
}
