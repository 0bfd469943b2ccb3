// wine's <stdlib.h>, plus what the UCRT's has and it lacks.
#pragma once

// wine declares atexit and _onexit as ucrtbase.dll imports, which would
// register with the process; MSVC modules each keep their own table
// (startup/module_init.cpp), so those two are declared here instead.
#define atexit __wine_atexit
#define _onexit __wine__onexit
#include_next <stdlib.h>
#undef atexit
#undef _onexit
// The UCRT's headers bring the errno values along with errno itself.
#include <errno.h>

#ifdef __cplusplus
extern "C" {
#endif

int __cdecl atexit(void(__cdecl* _Function)(void));
_onexit_t __cdecl _onexit(_onexit_t _Function);
_ACRTIMP int __cdecl at_quick_exit(void(__cdecl* _Function)(void));
_ACRTIMP __declspec(noreturn) void __cdecl quick_exit(int _Code);
_ACRTIMP unsigned int __cdecl _set_abort_behavior(unsigned int _Flags, unsigned int _Mask);
_ACRTIMP errno_t __cdecl _dupenv_s(char** _Buffer, size_t* _BufferCount, char const* _VarName);
_ACRTIMP errno_t __cdecl _wdupenv_s(wchar_t** _Buffer, size_t* _BufferCount,
                                    wchar_t const* _VarName);

#ifdef __cplusplus
}  // extern "C"

// The UCRT's overloads for the wider integer types.
extern "C++" {
inline long abs(long const _X) noexcept {
    return labs(_X);
}
inline long long abs(long long const _X) noexcept {
    return llabs(_X);
}
inline ldiv_t div(long const _A1, long const _A2) noexcept {
    return ldiv(_A1, _A2);
}
inline lldiv_t div(long long const _A1, long long const _A2) noexcept {
    return lldiv(_A1, _A2);
}
}
#endif
