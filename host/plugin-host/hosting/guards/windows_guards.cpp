// What only a Windows process has: the unhandled-exception filter, which
// runs at a crash, and the error mode, which decides whether a failure shows
// a dialog.

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <string>

#include "guards/kinds.h"

namespace host::guards {

namespace {

// Setting a filter is the only way to read the one in place: set it back.
class ExceptionFilterGuard final : public ValueGuard<LPTOP_LEVEL_EXCEPTION_FILTER> {
    LPTOP_LEVEL_EXCEPTION_FILTER read() override {
        const LPTOP_LEVEL_EXCEPTION_FILTER now = SetUnhandledExceptionFilter(nullptr);
        SetUnhandledExceptionFilter(now);
        return now;
    }
    void write(const LPTOP_LEVEL_EXCEPTION_FILTER& filter) override {
        SetUnhandledExceptionFilter(filter);
    }
    Leftover judge(const LPTOP_LEVEL_EXCEPTION_FILTER& now, const CodeMap& where) override {
        return judgePointer(reinterpret_cast<const void*>(now), where,
                            "the unhandled-exception filter");
    }
};

class ErrorModeGuard final : public ValueGuard<UINT> {
    UINT read() override { return GetErrorMode(); }
    void write(const UINT& mode) override { SetErrorMode(mode); }
    Leftover judge(const UINT& now, const CodeMap&) override {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%X", now);
        return {Leftover::Severity::Warning, std::string("changed the error mode to ") + hex};
    }
};

}  // namespace

std::vector<std::unique_ptr<StateGuard>> platformGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
    guards.push_back(std::make_unique<ExceptionFilterGuard>());
    guards.push_back(std::make_unique<ErrorModeGuard>());
    guards.push_back(librariesGuard());
    for (auto* list : {runtimeGuards, processGuards}) {
        for (auto& guard : list()) {
            guards.push_back(std::move(guard));
        }
    }
    return guards;
}

}  // namespace host::guards
