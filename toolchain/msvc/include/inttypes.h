// wine's <inttypes.h>, plus the intmax_t functions the UCRT exports and
// wine does not declare.
#pragma once

#include_next <inttypes.h>

#ifdef __cplusplus
extern "C" {
#endif
_ACRTIMP intmax_t __cdecl imaxabs(intmax_t _Number);
_ACRTIMP imaxdiv_t __cdecl imaxdiv(intmax_t _Numerator, intmax_t _Denominator);
_ACRTIMP intmax_t __cdecl wcstoimax(wchar_t const* _String, wchar_t** _EndPtr, int _Radix);
_ACRTIMP uintmax_t __cdecl wcstoumax(wchar_t const* _String, wchar_t** _EndPtr, int _Radix);
#ifdef __cplusplus
}
#endif
