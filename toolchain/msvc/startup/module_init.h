// What both entry points share: the module's own table of exit functions
// and the walk over its static initialisers. MSVC links the same logic into
// every /MD module from its static runtime library (msvcrt.lib).
#pragma once

#include <corecrt_startup.h>
#include <vcruntime.h>

extern "C" {
// The C initialisers (.CRT$XI*) report failure by returning non-zero.
_ACRTIMP int __cdecl _initterm_e(_PIFV* _First, _PIFV* _Last);
_ACRTIMP void __cdecl _initterm(_PVFV* _First, _PVFV* _Last);
}

namespace velquist_msvc_runtime {

// Runs the module's C and C++ static initialisers after making its exit
// table; false when a C initialiser failed.
bool initializeModule() noexcept;

// Runs the functions registered with atexit in this module, newest first.
void runModuleExitTable() noexcept;

}  // namespace velquist_msvc_runtime
