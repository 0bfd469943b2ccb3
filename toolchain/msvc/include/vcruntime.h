// The compiler-support declarations the MSVC standard library builds on.
// MSVC ships this header with its compiler; a cross build has only the
// library's own headers and wine's C runtime, so these are declared here.
#pragma once

#include <corecrt.h>
#include <sal.h>
#include <vadefs.h>

#pragma pack(push, 8)

#define _VCRUNTIME_H
#define _CRT_PACKING 8

// Which standard the library serves, from the compiler's /std: setting.
#ifdef _MSVC_LANG
#define _STL_LANG _MSVC_LANG
#elif defined(__cplusplus)
#define _STL_LANG __cplusplus
#else
#define _STL_LANG 0L
#endif
#ifndef _HAS_CXX17
#define _HAS_CXX17 (_STL_LANG > 201402L)
#endif
#ifndef _HAS_CXX20
#define _HAS_CXX20 (_HAS_CXX17 && _STL_LANG > 201703L)
#endif
#ifndef _HAS_CXX23
#define _HAS_CXX23 (_HAS_CXX20 && _STL_LANG > 202002L)
#endif
#ifndef _HAS_CXX26
#define _HAS_CXX26 (_HAS_CXX23 && _STL_LANG > 202302L)
#endif
#define _HAS_EXCEPTIONS 1
#define _CRT_STRINGIZE_(x) #x
#define _CRT_STRINGIZE(x) _CRT_STRINGIZE_(x)
#define _CRT_WIDE_(s) L##s
#define _CRT_WIDE(s) _CRT_WIDE_(s)
#define _CRT_CONCATENATE_(a, b) a##b
#define _CRT_CONCATENATE(a, b) _CRT_CONCATENATE_(a, b)
#define _CRT_UNPARENTHESIZE_(...) __VA_ARGS__
#define _CRT_UNPARENTHESIZE(...) _CRT_UNPARENTHESIZE_ __VA_ARGS__

#ifdef __cplusplus
#define _CRT_BEGIN_C_HEADER __pragma(pack(push, _CRT_PACKING)) extern "C" {
#define _CRT_END_C_HEADER \
    }                     \
    __pragma(pack(pop))
#define _VCRT_EXTERN_C extern "C"
#else
#define _CRT_BEGIN_C_HEADER __pragma(pack(push, _CRT_PACKING))
#define _CRT_END_C_HEADER __pragma(pack(pop))
#define _VCRT_EXTERN_C
#endif

// Everything vcruntime140.dll provides is imported from it.
#define _VCRTIMP __declspec(dllimport)
#ifndef _CRTIMP
#define _CRTIMP __declspec(dllimport)
#endif
#define __CRTDECL __cdecl
// The standard library's satellite DLLs (msvcp140_1, msvcp140_2, msvcp140_codecvt_ids).
#define _CRT_SATELLITE_1 __declspec(dllimport)
#define _CRT_SATELLITE_2 __declspec(dllimport)
#define _CRT_SATELLITE_CODECVT_IDS __declspec(dllimport)
#define _CRT_SATELLITE_CODECVT_IDS_NOIMPORT
#define _VCRT_NOALIAS __declspec(noalias)
#define _VCRT_RESTRICT __declspec(restrict)
#define _VCRT_ALLOCATOR __declspec(allocator)
#define _VCRT_EXPORT_STD
#define _CRT_ALIGN(x) __declspec(align(x))
#define _CRT_HYBRIDPATCHABLE
#define _CRT_GUARDOVERFLOW
#define _CRT_DEPRECATE_TEXT(text) __declspec(deprecated(text))
#define _CRT_INSECURE_DEPRECATE(replacement)
#define _CRT_INSECURE_DEPRECATE_MEMORY(replacement)
#define _CRT_NONSTDC_DEPRECATE(replacement)
#define _CRT_SECURE_CPP_NOTHROW throw()
#define _CRT_UNUSED(x) (void)x
#define _VCRT_ALIGN(x) __declspec(align(x))
#define __vcrt_bool bool
#define __CLR_OR_THIS_CALL
#define _PGLOBAL
#define __CLRCALL_OR_CDECL __cdecl
#define __CLRCALL_PURE_OR_CDECL __cdecl
#define _HAS_NODISCARD 1
#define _NODISCARD [[nodiscard]]

#ifndef _SIZE_T_DEFINED
#define _SIZE_T_DEFINED
typedef unsigned __int64 size_t;
#endif
#ifndef _PTRDIFF_T_DEFINED
#define _PTRDIFF_T_DEFINED
typedef __int64 ptrdiff_t;
#endif
#ifndef _INTPTR_T_DEFINED
#define _INTPTR_T_DEFINED
typedef __int64 intptr_t;
#endif
#ifndef _UINTPTR_T_DEFINED
#define _UINTPTR_T_DEFINED
typedef unsigned __int64 uintptr_t;
#endif

#ifdef __cplusplus
extern "C++" {
template <typename _CountofType, size_t _SizeOfArray>
char (*__countof_helper(_CountofType (&_Array)[_SizeOfArray]))[_SizeOfArray];
}
#define __crt_countof(_Array) (sizeof(*__countof_helper(_Array)) + 0)
#else
#define __crt_countof(_Array) (sizeof(_Array) / sizeof(_Array[0]))
#endif

// Stack-buffer checks (/GS): the cookie lives in each module.
_CRT_BEGIN_C_HEADER
void __cdecl __security_init_cookie(void);
void __cdecl __security_check_cookie(uintptr_t _StackCookie);
_VCRTIMP __declspec(noreturn) void __cdecl __report_gsfailure(uintptr_t _StackCookie);
extern uintptr_t __security_cookie;
_CRT_END_C_HEADER

#pragma pack(pop)
