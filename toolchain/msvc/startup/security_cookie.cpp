// The stack-buffer check (/GS): each module has its own random cookie, set
// by its entry point before any other code runs, and every function with a
// local buffer compares its copy with it on return. A mismatch ends the
// process through vcruntime140's __report_gsfailure, as in MSVC's runtime.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {
constexpr uintptr_t kDefaultCookie = 0x00002B992DDFA232ull;
}

extern "C" {

uintptr_t __security_cookie = kDefaultCookie;
uintptr_t __security_cookie_complement = ~kDefaultCookie;

void __cdecl __security_init_cookie(void) {
    if (__security_cookie != kDefaultCookie) {
        return;
    }
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    uintptr_t cookie = now.dwLowDateTime ^ (static_cast<uintptr_t>(now.dwHighDateTime) << 32);
    cookie ^= GetCurrentThreadId();
    cookie ^= GetCurrentProcessId();
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    cookie ^=
        (static_cast<uintptr_t>(counter.LowPart) << 32) ^ static_cast<uintptr_t>(counter.QuadPart);
    cookie ^= reinterpret_cast<uintptr_t>(&cookie);
    // The top 16 bits stay zero, so that a string overrun cannot forge it.
    cookie &= 0x0000FFFFFFFFFFFFull;
    if (cookie == kDefaultCookie) {
        ++cookie;
    }
    __security_cookie = cookie;
    __security_cookie_complement = ~cookie;
}

}  // extern "C"

// Called in function epilogues with the saved cookie in RCX and the return
// value already in RAX, so it may touch nothing but the flags.
__asm__(
    ".globl __security_check_cookie\n"
    "__security_check_cookie:\n"
    "    cmp rcx, qword ptr [rip + __security_cookie]\n"
    "    jne 1f\n"
    "    ret\n"
    "1:  jmp qword ptr [rip + __imp___report_gsfailure]\n");
