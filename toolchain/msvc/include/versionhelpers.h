// The Windows SDK's version checks, which wine does not ship, inline over
// VerifyVersionInfoW as in the SDK. Google Benchmark asks for Windows XP.
#pragma once

#include <windows.h>

inline bool IsWindowsVersionOrGreater(WORD major, WORD minor, WORD servicePack) {
    OSVERSIONINFOEXW version = {sizeof(version), major, minor, 0, 0, {0}, servicePack, 0, 0, 0, 0};
    DWORDLONG condition = VerSetConditionMask(
        VerSetConditionMask(VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL),
                            VER_MINORVERSION, VER_GREATER_EQUAL),
        VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                              condition) != FALSE;
}

inline bool IsWindowsXPOrGreater() {
    return IsWindowsVersionOrGreater(5, 1, 0);
}
