// wine's <io.h>, whose `open` and `sopen` are macros: they would rename any
// member function called open (the loader has one) in every file that sees
// this header. The UCRT declares them as functions, and so do we.
#pragma once

#include_next <io.h>

#undef open
#undef sopen
#ifdef __cplusplus
extern "C" {
#endif
_ACRTIMP int __cdecl open(char const* _FileName, int _OpenFlag, ...);
_ACRTIMP int __cdecl sopen(char const* _FileName, int _OpenFlag, int _ShareFlag, ...);
#ifdef __cplusplus
}
#endif
