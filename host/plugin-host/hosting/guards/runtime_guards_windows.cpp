// The MSVC runtime's process-wide handlers and modes: what runs on an
// invalid parameter or a pure virtual call, how operator new and malloc
// fail, what abort and a runtime error report, and how each standard
// descriptor translates text.

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <cstdio>
#include <string>

// The runtime's new mode, which not every SDK's headers declare.
extern "C" __declspec(dllimport) int __cdecl _set_new_mode(int);
extern "C" __declspec(dllimport) int __cdecl _query_new_mode();

#include "guards/handler_guard.h"
#include "guards/kinds.h"

namespace host::guards {

namespace {

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// A mode read and written as a number, and named in hexadecimal.
class RuntimeModeGuard final : public ValueGuard<int> {
public:
    RuntimeModeGuard(const char* what, int (*get)(), void (*set)(int))
        : what_(what), get_(get), set_(set) {}

private:
    int read() override { return get_(); }
    void write(const int& mode) override { set_(mode); }
    Leftover judge(const int& now, const CodeMap&) override {
        return {Leftover::Severity::Warning,
                "changed " + std::string(what_) + " to " + hex(static_cast<unsigned>(now))};
    }
    const char* what_;
    int (*get_)();
    void (*set_)(int);
};

constexpr unsigned kAbortFlags = _WRITE_ABORT_MSG | _CALL_REPORTFAULT;

// Each standard descriptor's translation mode, read by setting it and
// setting it back: the runtime has no getter.
class TranslationModesGuard final : public StateGuard {
public:
    void record() override {
        for (int fd = 0; fd < 3; ++fd) {
            modes_[fd].record(readMode(fd));
        }
    }
    std::vector<Leftover> look(const CodeMap&, PutBack putBack) override {
        static constexpr const char* kNames[3] = {"standard input", "standard output",
                                                  "standard error"};
        std::vector<Leftover> found;
        for (int fd = 0; fd < 3; ++fd) {
            auto leftover = modes_[fd].look(
                readMode(fd), putBack, [](int a, int b) { return a == b; },
                [&](int now) {
                    return Leftover{Leftover::Severity::Warning,
                                    "changed the translation mode of " + std::string(kNames[fd]) +
                                        " to " + hex(static_cast<unsigned>(now))};
                },
                [fd](int host) {
                    if (host >= 0) {
                        _setmode(fd, host);
                    }
                });
            if (leftover) {
                found.push_back(std::move(*leftover));
            }
        }
        return found;
    }

private:
    static int readMode(int fd) {
        const int mode = _setmode(fd, _O_BINARY);
        if (mode != -1) {
            _setmode(fd, mode);
        }
        return mode;
    }
    Watched<int> modes_[3];
};

}  // namespace

std::vector<std::unique_ptr<StateGuard>> runtimeGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
    guards.push_back(std::make_unique<HandlerGuard<_invalid_parameter_handler>>(
        "the invalid-parameter handler", _get_invalid_parameter_handler,
        _set_invalid_parameter_handler));
    guards.push_back(std::make_unique<HandlerGuard<_invalid_parameter_handler>>(
        "the thread's invalid-parameter handler", _get_thread_local_invalid_parameter_handler,
        _set_thread_local_invalid_parameter_handler));
    guards.push_back(std::make_unique<HandlerGuard<_purecall_handler>>(
        "the pure-call handler", _get_purecall_handler, _set_purecall_handler));
    guards.push_back(std::make_unique<RuntimeModeGuard>(
        "the new mode", [] { return _query_new_mode(); }, [](int mode) { _set_new_mode(mode); }));
    guards.push_back(std::make_unique<RuntimeModeGuard>(
        "the abort behaviour",
        [] { return static_cast<int>(_set_abort_behavior(0, 0) & kAbortFlags); },
        [](int flags) { _set_abort_behavior(static_cast<unsigned>(flags), kAbortFlags); }));
    guards.push_back(std::make_unique<RuntimeModeGuard>(
        "the runtime's error mode", [] { return _set_error_mode(_REPORT_ERRMODE); },
        [](int mode) { _set_error_mode(mode); }));
    guards.push_back(std::make_unique<TranslationModesGuard>());
    return guards;
}

}  // namespace host::guards
