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

class ExceptionFilterGuard final : public StateGuard {
public:
    void record() override {
        saved_ = SetUnhandledExceptionFilter(nullptr);
        SetUnhandledExceptionFilter(saved_);
    }
    // Setting the host's filter back is how the plugin's is read.
    std::vector<Leftover> restore(const CodeMap& where) override {
        const LPTOP_LEVEL_EXCEPTION_FILTER now = SetUnhandledExceptionFilter(saved_);
        if (now == saved_) {
            return {};
        }
        return {judgePointer(reinterpret_cast<const void*>(now), where,
                             "the unhandled-exception filter")};
    }

private:
    LPTOP_LEVEL_EXCEPTION_FILTER saved_ = nullptr;
};

class ErrorModeGuard final : public StateGuard {
public:
    void record() override { saved_ = GetErrorMode(); }
    std::vector<Leftover> restore(const CodeMap&) override {
        const UINT now = GetErrorMode();
        if (now == saved_) {
            return {};
        }
        SetErrorMode(saved_);
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%X", now);
        return {{Leftover::Severity::Warning, std::string("changed the error mode to ") + hex}};
    }

private:
    UINT saved_ = 0;
};

}  // namespace

std::vector<std::unique_ptr<StateGuard>> platformGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
    guards.push_back(std::make_unique<ExceptionFilterGuard>());
    guards.push_back(std::make_unique<ErrorModeGuard>());
    return guards;
}

}  // namespace host::guards
