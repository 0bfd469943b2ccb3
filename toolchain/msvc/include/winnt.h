// wine's <winnt.h> as the Windows SDK's behaves under MSVC: WCHAR is
// wchar_t (wine's C++ default is char16_t, which changes decorated names),
// and the 128-bit compare-exchange is the compiler's intrinsic rather than
// an inline function of the same name.
#pragma once

#ifndef WINE_UNICODE_NATIVE
#define WINE_UNICODE_NATIVE
#endif
#define _InterlockedCompareExchange128 __wine_InterlockedCompareExchange128
#include_next <winnt.h>
#undef _InterlockedCompareExchange128
