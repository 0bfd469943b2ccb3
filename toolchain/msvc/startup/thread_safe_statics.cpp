// Thread-safe initialisation of function-local statics, with the protocol
// MSVC's compiler and its static runtime share: the guard holds 0 before,
// -1 during and an epoch after initialisation; a thread whose own epoch is
// older than the guard's takes the slow path through _Init_thread_header.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <limits.h>

namespace {
constexpr int kUninitialized = 0;
constexpr int kBeingInitialized = -1;
SRWLOCK initLock = SRWLOCK_INIT;
CONDITION_VARIABLE initDone = CONDITION_VARIABLE_INIT;
}  // namespace

extern "C" {
int _Init_global_epoch = INT_MIN;
__declspec(thread) int _Init_thread_epoch = INT_MIN;

void __cdecl _Init_thread_header(int* const once) noexcept {
    AcquireSRWLockExclusive(&initLock);
    if (*once == kUninitialized) {
        *once = kBeingInitialized;
    } else {
        while (*once == kBeingInitialized) {
            SleepConditionVariableSRW(&initDone, &initLock, INFINITE, 0);
            // The initialising thread threw: this one takes over.
            if (*once == kUninitialized) {
                *once = kBeingInitialized;
                ReleaseSRWLockExclusive(&initLock);
                return;
            }
        }
        _Init_thread_epoch = _Init_global_epoch;
    }
    ReleaseSRWLockExclusive(&initLock);
}

void __cdecl _Init_thread_abort(int* const once) noexcept {
    AcquireSRWLockExclusive(&initLock);
    *once = kUninitialized;
    ReleaseSRWLockExclusive(&initLock);
    WakeAllConditionVariable(&initDone);
}

void __cdecl _Init_thread_footer(int* const once) noexcept {
    AcquireSRWLockExclusive(&initLock);
    ++_Init_global_epoch;
    *once = _Init_global_epoch;
    _Init_thread_epoch = _Init_global_epoch;
    ReleaseSRWLockExclusive(&initLock);
    WakeAllConditionVariable(&initDone);
}
}
