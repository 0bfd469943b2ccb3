// wine's <wchar.h> with the UCRT's mbstate_t: the struct _Mbstatet, not
// wine's int, because that name is part of msvcp140's decorated names. The
// conversion functions wine declares over its int are renamed out of the way
// and declared again over the struct.
#pragma once

#define mbstate_t __wine_mbstate_t
#define mbrlen __wine_mbrlen
#define mbrtowc __wine_mbrtowc
#define mbsrtowcs __wine_mbsrtowcs
#define wcrtomb __wine_wcrtomb
#define wcsrtombs __wine_wcsrtombs
#include_next <wchar.h>
#undef mbstate_t
#undef mbrlen
#undef mbrtowc
#undef mbsrtowcs
#undef wcrtomb
#undef wcsrtombs

#ifdef __cplusplus
extern "C" {
#endif

typedef _Mbstatet mbstate_t;  // from corecrt.h

_ACRTIMP size_t __cdecl mbrlen(char const* _Ch, size_t _SizeInBytes, mbstate_t* _State);
_ACRTIMP size_t __cdecl mbrtowc(wchar_t* _DstCh, char const* _SrcCh, size_t _SizeInBytes,
                                mbstate_t* _State);
_ACRTIMP size_t __cdecl mbsrtowcs(wchar_t* _Dest, char const** _PSrc, size_t _Count,
                                  mbstate_t* _State);
_ACRTIMP size_t __cdecl wcrtomb(char* _Dest, wchar_t _Source, mbstate_t* _State);
_ACRTIMP size_t __cdecl wcsrtombs(char* _Dest, wchar_t const** _PSource, size_t _Count,
                                  mbstate_t* _State);
_ACRTIMP int __cdecl mbsinit(mbstate_t const* _P);
_ACRTIMP long double __cdecl wcstold(wchar_t const* _String, wchar_t** _EndPtr);

// Inline in the UCRT too: its streams have no orientation to change.
static inline int __cdecl fwide(FILE* _Stream, int _Mode) {
    (void)_Stream;
    return _Mode;
}
static inline int __cdecl vfwscanf(FILE* _Stream, wchar_t const* _Format, va_list _Args) {
    return __stdio_common_vfwscanf(_CRT_INTERNAL_LOCAL_SCANF_OPTIONS, _Stream, _Format, NULL,
                                   _Args);
}
static inline int __cdecl vwscanf(wchar_t const* _Format, va_list _Args) {
    return vfwscanf(stdin, _Format, _Args);
}
static inline int __cdecl vswscanf(wchar_t const* _Buffer, wchar_t const* _Format, va_list _Args) {
    return __stdio_common_vswscanf(_CRT_INTERNAL_LOCAL_SCANF_OPTIONS, _Buffer, (size_t)-1, _Format,
                                   NULL, _Args);
}

#ifdef __cplusplus
}
#endif
