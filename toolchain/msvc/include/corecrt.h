// wine's <corecrt.h>, plus what the UCRT's also declares and the MSVC
// standard library relies on.
#pragma once

#include_next <corecrt.h>

// The UCRT's multibyte conversion state. Its name is part of msvcp140's
// decorated names, so it must be this struct, not wine's int (see wchar.h).
#ifndef _MBSTATET_DEFINED
#define _MBSTATET_DEFINED
typedef struct _Mbstatet {
    unsigned long _Wchar;
    unsigned short _Byte;
    unsigned short _State;
} _Mbstatet;
#endif

// Decorations of msvcp140's own exports: nothing to add outside its build.
#ifndef _CRTIMP2
#define _CRTIMP2
#endif
#ifndef _MRTIMP2
#define _MRTIMP2
#endif

#ifdef __cplusplus
extern "C" {
#endif
_ACRTIMP __declspec(noreturn) void __cdecl _invoke_watson(wchar_t const* _Expression,
                                                          wchar_t const* _FunctionName,
                                                          wchar_t const* _FileName,
                                                          unsigned int _LineNo,
                                                          uintptr_t _Reserved);
#ifdef __cplusplus
}
#endif
