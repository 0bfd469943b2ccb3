// The module's initialiser sections and its exit table.
#include "module_init.h"

#include <stdlib.h>

// The linker sorts .CRT$X* sections by name; the A and Z entries bracket the
// compiler's initialisers (.CRT$XCU) and the C runtime's (.CRT$XIC).
#pragma section(".CRT$XIA", long, read)
#pragma section(".CRT$XIZ", long, read)
#pragma section(".CRT$XCA", long, read)
#pragma section(".CRT$XCZ", long, read)
__declspec(allocate(".CRT$XIA")) static _PIFV firstCInitializer[] = {nullptr};
__declspec(allocate(".CRT$XIZ")) static _PIFV lastCInitializer[] = {nullptr};
__declspec(allocate(".CRT$XCA")) static _PVFV firstCxxInitializer[] = {nullptr};
__declspec(allocate(".CRT$XCZ")) static _PVFV lastCxxInitializer[] = {nullptr};

namespace {
// Each module keeps its own list, so a DLL's static destructors run when it
// is unloaded, not when the process ends.
_onexit_table_t moduleExitTable;
}  // namespace

namespace velquist_msvc_runtime {

bool initializeModule() noexcept {
    if (_initialize_onexit_table(&moduleExitTable) != 0) {
        return false;
    }
    if (_initterm_e(firstCInitializer, lastCInitializer) != 0) {
        return false;
    }
    _initterm(firstCxxInitializer, lastCxxInitializer);
    return true;
}

void runModuleExitTable() noexcept {
    _execute_onexit_table(&moduleExitTable);
}

}  // namespace velquist_msvc_runtime

// The compiler registers every static object's destructor here.
extern "C" _onexit_t __cdecl _onexit(_onexit_t function) {
    return _register_onexit_function(&moduleExitTable, function) == 0 ? function : nullptr;
}

extern "C" int __cdecl atexit(void(__cdecl* function)(void)) {
    return _onexit(reinterpret_cast<_onexit_t>(function)) != nullptr ? 0 : -1;
}
