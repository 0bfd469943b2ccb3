// What Windows keeps for the whole process and a plugin can change under
// its host: the priority class, the CPU affinity, the DLL search path and
// the standard handles with their console modes.

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "guards/kinds.h"

namespace host::guards {

namespace {

std::string hex(unsigned long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", value);
    return text;
}

class PriorityClassGuard final : public ValueGuard<DWORD> {
    DWORD read() override { return GetPriorityClass(GetCurrentProcess()); }
    void write(const DWORD& priority) override { SetPriorityClass(GetCurrentProcess(), priority); }
    Leftover judge(const DWORD& now, const CodeMap&) override {
        return {Leftover::Severity::Warning, "changed the priority class to " + hex(now)};
    }
};

class AffinityGuard final : public ValueGuard<DWORD_PTR> {
    DWORD_PTR read() override {
        DWORD_PTR process = 0;
        DWORD_PTR system = 0;
        GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
        return process;
    }
    void write(const DWORD_PTR& mask) override {
        SetProcessAffinityMask(GetCurrentProcess(), mask);
    }
    Leftover judge(const DWORD_PTR& now, const CodeMap&) override {
        return {Leftover::Severity::Warning, "changed the CPU affinity to " + hex(now)};
    }
};

// SetDllDirectory's folder; AddDllDirectory's have no list (docs/plugin-host.md).
class DllDirectoryGuard final : public ValueGuard<std::wstring> {
    std::wstring read() override {
        wchar_t folder[MAX_PATH + 1] = {};
        const DWORD length = GetDllDirectoryW(MAX_PATH + 1, folder);
        return length <= MAX_PATH ? std::wstring(folder, length) : std::wstring();
    }
    void write(const std::wstring& folder) override {
        SetDllDirectoryW(folder.empty() ? nullptr : folder.c_str());
    }
    Leftover judge(const std::wstring&, const CodeMap&) override {
        return {Leftover::Severity::Warning, "changed the DLL search path (SetDllDirectory)"};
    }
};

struct StandardHandles {
    HANDLE handle[3]{};
    DWORD consoleMode[3]{};  // 0 where the handle is no console
    bool operator==(const StandardHandles& other) const {
        for (int i = 0; i < 3; ++i) {
            if (handle[i] != other.handle[i] || consoleMode[i] != other.consoleMode[i]) {
                return false;
            }
        }
        return true;
    }
};

constexpr DWORD kStandard[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
constexpr const char* kHandleNames[3] = {"standard input", "standard output", "standard error"};

class StandardHandlesGuard final : public ValueGuard<StandardHandles> {
    StandardHandles read() override {
        StandardHandles now;
        for (int i = 0; i < 3; ++i) {
            now.handle[i] = GetStdHandle(kStandard[i]);
            if (!GetConsoleMode(now.handle[i], &now.consoleMode[i])) {
                now.consoleMode[i] = 0;
            }
        }
        return now;
    }
    void write(const StandardHandles& host) override {
        for (int i = 0; i < 3; ++i) {
            SetStdHandle(kStandard[i], host.handle[i]);
            if (host.consoleMode[i] != 0) {
                SetConsoleMode(host.handle[i], host.consoleMode[i]);
            }
        }
    }
    Leftover judge(const StandardHandles& now, const CodeMap&) override {
        std::vector<std::string> changed;
        for (int i = 0; i < 3; ++i) {
            if (now.handle[i] != host().handle[i]) {
                changed.push_back("the " + std::string(kHandleNames[i]) + " handle");
            } else if (now.consoleMode[i] != host().consoleMode[i]) {
                changed.push_back("the console mode of " + std::string(kHandleNames[i]));
            }
        }
        return {Leftover::Severity::Warning, "changed " + joinNames(changed)};
    }
};

}  // namespace

std::unique_ptr<StateGuard> terminalGuard() {
    return std::make_unique<StandardHandlesGuard>();
}

std::vector<std::unique_ptr<StateGuard>> processGuards() {
    std::vector<std::unique_ptr<StateGuard>> guards;
    guards.push_back(std::make_unique<PriorityClassGuard>());
    guards.push_back(std::make_unique<AffinityGuard>());
    guards.push_back(std::make_unique<DllDirectoryGuard>());
    guards.push_back(std::make_unique<StandardHandlesGuard>());
    return guards;
}

}  // namespace host::guards
