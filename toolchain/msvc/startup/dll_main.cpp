// The entry point of every DLL (/entry:_DllMainCRTStartup): static
// initialisation on attach, the module's exit table on detach, and the
// module's own DllMain in between when it has one.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "module_init.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// A module without a DllMain of its own gets this one.
extern "C" BOOL WINAPI velquist_default_DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}
#pragma comment(linker, "/alternatename:DllMain=velquist_default_DllMain")

extern "C" BOOL WINAPI _DllMainCRTStartup(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        __security_init_cookie();
        if (!velquist_msvc_runtime::initializeModule()) {
            return FALSE;
        }
        if (!DllMain(instance, reason, reserved)) {
            velquist_msvc_runtime::runModuleExitTable();
            return FALSE;
        }
        return TRUE;
    }
    const BOOL result = DllMain(instance, reason, reserved);
    if (reason == DLL_PROCESS_DETACH) {
        velquist_msvc_runtime::runModuleExitTable();
    }
    return result;
}
