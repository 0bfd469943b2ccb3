// wine's <math.h>, completed to what the UCRT's declares and the MSVC
// standard library's <cmath> names: long double (which is double here)
// variants, a few float and C99 functions, float_t/double_t, and for C++ the
// classification functions as overloads rather than wine's macros.
#pragma once

#include_next <math.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef float float_t;
typedef double double_t;

// Exported by ucrtbase.dll, but not declared by wine.
_ACRTIMP double __cdecl nan(char const* _X);
_ACRTIMP float __cdecl nanf(char const* _X);
_ACRTIMP double __cdecl erfc(double _X);
_ACRTIMP float __cdecl erfcf(float _X);
_ACRTIMP double __cdecl nexttoward(double _X, long double _Y);
_ACRTIMP float __cdecl fmaf(float _X, float _Y, float _Z);
_ACRTIMP float __cdecl nexttowardf(float _X, long double _Y);

#define _VELQUIST_IMPORT_L1(name) _ACRTIMP long double __cdecl name##l(long double _X);
#define _VELQUIST_IMPORT_L2(name) \
    _ACRTIMP long double __cdecl name##l(long double _X, long double _Y);
_VELQUIST_IMPORT_L1(acosh)
_VELQUIST_IMPORT_L1(asinh)
_VELQUIST_IMPORT_L1(atanh)
_VELQUIST_IMPORT_L1(cbrt)
_VELQUIST_IMPORT_L1(erf)
_VELQUIST_IMPORT_L1(erfc)
_VELQUIST_IMPORT_L1(exp2)
_VELQUIST_IMPORT_L1(expm1)
_VELQUIST_IMPORT_L1(lgamma)
_VELQUIST_IMPORT_L1(log1p)
_VELQUIST_IMPORT_L1(log2)
_VELQUIST_IMPORT_L1(logb)
_VELQUIST_IMPORT_L1(nearbyint)
_VELQUIST_IMPORT_L1(rint)
_VELQUIST_IMPORT_L1(round)
_VELQUIST_IMPORT_L1(tgamma)
_VELQUIST_IMPORT_L1(trunc)
_VELQUIST_IMPORT_L2(copysign)
_VELQUIST_IMPORT_L2(fdim)
_VELQUIST_IMPORT_L2(fmax)
_VELQUIST_IMPORT_L2(fmin)
_VELQUIST_IMPORT_L2(nextafter)
_VELQUIST_IMPORT_L2(nexttoward)
_VELQUIST_IMPORT_L2(remainder)
#undef _VELQUIST_IMPORT_L1
#undef _VELQUIST_IMPORT_L2
_ACRTIMP long double __cdecl nanl(char const* _X);
_ACRTIMP long double __cdecl fmal(long double _X, long double _Y, long double _Z);
_ACRTIMP int __cdecl ilogbl(long double _X);
_ACRTIMP long long __cdecl llrintl(long double _X);
_ACRTIMP long long __cdecl llroundl(long double _X);
_ACRTIMP long __cdecl lrintl(long double _X);
_ACRTIMP long __cdecl lroundl(long double _X);
_ACRTIMP long double __cdecl remquol(long double _X, long double _Y, int* _Z);
_ACRTIMP long double __cdecl scalblnl(long double _X, long _Y);
_ACRTIMP long double __cdecl scalbnl(long double _X, int _Y);

// Inline over the double function in the UCRT too: long double is double.
#define _VELQUIST_INLINE_L1(name)                                 \
    static __inline long double __cdecl name##l(long double _X) { \
        return name((double)_X);                                  \
    }
#define _VELQUIST_INLINE_L2(name)                                                 \
    static __inline long double __cdecl name##l(long double _X, long double _Y) { \
        return name((double)_X, (double)_Y);                                      \
    }
_VELQUIST_INLINE_L1(acos)
_VELQUIST_INLINE_L1(asin)
_VELQUIST_INLINE_L1(atan)
_VELQUIST_INLINE_L1(ceil)
_VELQUIST_INLINE_L1(cos)
_VELQUIST_INLINE_L1(cosh)
_VELQUIST_INLINE_L1(exp)
_VELQUIST_INLINE_L1(fabs)
_VELQUIST_INLINE_L1(floor)
_VELQUIST_INLINE_L1(log)
_VELQUIST_INLINE_L1(log10)
_VELQUIST_INLINE_L1(sin)
_VELQUIST_INLINE_L1(sinh)
_VELQUIST_INLINE_L1(sqrt)
_VELQUIST_INLINE_L1(tan)
_VELQUIST_INLINE_L1(tanh)
_VELQUIST_INLINE_L2(atan2)
_VELQUIST_INLINE_L2(fmod)
_VELQUIST_INLINE_L2(hypot)
_VELQUIST_INLINE_L2(pow)
#undef _VELQUIST_INLINE_L1
#undef _VELQUIST_INLINE_L2
static __inline long double __cdecl frexpl(long double _X, int* _Y) {
    return frexp((double)_X, _Y);
}
static __inline long double __cdecl ldexpl(long double _X, int _Y) {
    return ldexp((double)_X, _Y);
}
static __inline long double __cdecl modfl(long double _X, long double* _Y) {
    double _F = 0;
    long double _Result = modf((double)_X, &_F);
    *_Y = _F;
    return _Result;
}

#ifdef __cplusplus
}  // extern "C"

// C++ takes these as overloaded functions; <cmath> adds the comparisons and
// isfinite/isinf/isnan/isnormal itself.
#undef fpclassify
#undef signbit
#undef isinf
#undef isnan
#undef isnormal
#undef isfinite
extern "C++" {
inline int fpclassify(float _X) noexcept {
    return __builtin_fpclassify(FP_NAN, FP_INFINITE, FP_NORMAL, FP_SUBNORMAL, FP_ZERO, _X);
}
inline int fpclassify(double _X) noexcept {
    return __builtin_fpclassify(FP_NAN, FP_INFINITE, FP_NORMAL, FP_SUBNORMAL, FP_ZERO, _X);
}
inline int fpclassify(long double _X) noexcept {
    return __builtin_fpclassify(FP_NAN, FP_INFINITE, FP_NORMAL, FP_SUBNORMAL, FP_ZERO, _X);
}
inline bool signbit(float _X) noexcept {
    return __builtin_signbit(_X);
}
inline bool signbit(double _X) noexcept {
    return __builtin_signbit(_X);
}
inline bool signbit(long double _X) noexcept {
    return __builtin_signbit(_X);
}
}
#endif
