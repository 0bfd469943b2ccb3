#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "provocations.h"

namespace host {

namespace {

// plugin-host's own exception code: customer bit set, facility 0.
constexpr DWORD kProvocation = 0xE0564C51;

// Every vectored exception handler runs before this filter is asked.
LONG continueOwnException(const EXCEPTION_POINTERS* exception) {
    return exception->ExceptionRecord->ExceptionCode == kProvocation ? EXCEPTION_CONTINUE_EXECUTION
                                                                     : EXCEPTION_CONTINUE_SEARCH;
}

// A handler in unloaded code faults where it is called; wine then goes on
// dispatching, where Windows would end the process. Ended here as Windows
// would, whichever runs it: nothing of plugin-host's faults meanwhile.
bool continueAtOnce = false;  // the second raise: continued by the first handler

LONG WINAPI endAtFault(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (code == kProvocation && continueAtOnce) {
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_ILLEGAL_INSTRUCTION ||
        code == EXCEPTION_STACK_OVERFLOW) {
        TerminateProcess(GetCurrentProcess(), code);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Raised twice: handled by the frame's filter, after every vectored
// exception handler has run; then continued by the first vectored handler,
// which runs every vectored continue handler.
void raiseAndHandle() {
    PVOID watch = AddVectoredExceptionHandler(1, endAtFault);
    for (const bool atOnce : {false, true}) {
        continueAtOnce = atOnce;
        __try {
            RaiseException(kProvocation, 0, 0, nullptr);
        } __except (continueOwnException(GetExceptionInformation())) {
        }
    }
    RemoveVectoredExceptionHandler(watch);
}

}  // namespace

void provokeLeftHooks(ProgressWriter& writer) {
    writer.provoking(
        "when plugin-host raised and handled an exception of its own, which runs every "
        "vectored exception and continue handler");
    raiseAndHandle();
    writer.provoking("");
}

}  // namespace host
