// wine's <time.h>, plus the C11 timespec and the _s conversions the UCRT
// declares inline over its 64-bit functions.
#pragma once

#include_next <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef _CRT_TIMESPEC_DEFINED
#define _CRT_TIMESPEC_DEFINED
struct timespec {
    time_t tv_sec;
    long tv_nsec;
};
#endif
#ifndef TIME_UTC
#define TIME_UTC 1
#endif

_ACRTIMP int __cdecl _timespec64_get(struct timespec* _Ts, int _Base);
_ACRTIMP errno_t __cdecl _gmtime64_s(struct tm* _Tm, __time64_t const* _Time);

static __inline int __cdecl timespec_get(struct timespec* _Ts, int _Base) {
    return _timespec64_get(_Ts, _Base);
}
static __inline errno_t __cdecl localtime_s(struct tm* _Tm, time_t const* _Time) {
    return _localtime64_s(_Tm, _Time);
}
static __inline errno_t __cdecl gmtime_s(struct tm* _Tm, time_t const* _Time) {
    return _gmtime64_s(_Tm, _Time);
}

#ifdef __cplusplus
}
#endif
