#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// after windows.h, which they need
#define PSAPI_VERSION 2  // the kernel32 entry points, no psapi.dll
#include <psapi.h>
#include <shellapi.h>

#include <cstdio>

#include "process/process.h"
#include "stall_detector.h"

namespace process {

namespace {

std::string describeException(DWORD code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
    const char* name = nullptr;
    switch (code) {
        case EXCEPTION_ACCESS_VIOLATION:
            name = "access violation";
            break;
        case EXCEPTION_STACK_OVERFLOW:
            name = "stack overflow";
            break;
        case EXCEPTION_ILLEGAL_INSTRUCTION:
            name = "illegal instruction";
            break;
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
            name = "integer division by zero";
            break;
        case 0xC0000409:
            name = "stack buffer overrun or fail-fast";
            break;
        default:
            break;
    }
    std::string text = std::string("exception ") + hex;
    if (name != nullptr) {
        text += std::string(" (") + name + ")";
    }
    return text;
}

// Quotes one argument so that CommandLineToArgvW gives it back unchanged.
std::wstring quote(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring result = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            result.append(backslashes * 2 + 1, L'\\');
        } else {
            result.append(backslashes, L'\\');
        }
        backslashes = 0;
        result.push_back(c);
    }
    result.append(backslashes * 2, L'\\');
    result.push_back(L'"');
    return result;
}

HANDLE openForChild(const std::filesystem::path& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw ProcessError("cannot open " + pathToUtf8(path) + " for the child's output");
    }
    return file;
}

LONG WINAPI endWithExceptionCode(EXCEPTION_POINTERS* info) {
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

Termination run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                const Redirect& redirect, const Watchdog& watchdog) {
    std::wstring commandLine = quote(program.wstring());
    for (const auto& argument : arguments) {
        commandLine += L' ';
        commandLine += quote(pathFromUtf8(argument).wstring());
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    HANDLE output = nullptr;
    HANDLE error = nullptr;
    const bool redirecting = !redirect.standardOutput.empty() || !redirect.standardError.empty();
    if (redirecting) {
        output = redirect.standardOutput.empty() ? GetStdHandle(STD_OUTPUT_HANDLE)
                                                 : openForChild(redirect.standardOutput);
        error = redirect.standardError.empty() ? GetStdHandle(STD_ERROR_HANDLE)
                                               : openForChild(redirect.standardError);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = output;
        startup.hStdError = error;
    }
    PROCESS_INFORMATION child{};
    const BOOL started =
        CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr,
                       redirecting ? TRUE : FALSE, 0, nullptr, nullptr, &startup, &child);
    const DWORD startError = GetLastError();
    if (!redirect.standardOutput.empty()) {
        CloseHandle(output);
    }
    if (!redirect.standardError.empty()) {
        CloseHandle(error);
    }
    if (!started) {
        throw ProcessError(pathToUtf8(program) + ": cannot start (system error " +
                           std::to_string(startError) + ")");
    }
    StallDetector stall(watchdog);
    bool timedOut = false;
    while (WaitForSingleObject(child.hProcess, stall.active() ? 10 : INFINITE) == WAIT_TIMEOUT) {
        if (stall.stalled()) {
            TerminateProcess(child.hProcess, 1);
            WaitForSingleObject(child.hProcess, INFINITE);
            timedOut = true;
            break;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);

    Termination termination;
    termination.exitCode = static_cast<int>(code);
    termination.timedOut = timedOut;
    if (timedOut) {
        termination.description =
            "killed after " + std::to_string(watchdog.limit.count()) + " ms without progress";
    } else if (code >= 0xC0000000u) {
        // Status codes of severity "error" are exceptions nobody handled.
        termination.crashed = true;
        termination.description = describeException(code);
    } else {
        termination.description = "exit code " + std::to_string(code);
    }
    return termination;
}

std::filesystem::path currentExecutable() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            buffer.resize(length);
            return std::filesystem::path(buffer);
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<std::string> arguments(int, char**) {
    // The narrow argv is in the ANSI code page; the wide command line is exact.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i) {
        result.push_back(pathToUtf8(std::filesystem::path(wide[i])));
    }
    LocalFree(wide);
    return result;
}

long peakResidentKiB() {
    PROCESS_MEMORY_COUNTERS memory{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
        return 0;
    }
    return static_cast<long>(memory.PeakWorkingSetSize / 1024);
}

void endQuietlyOnCrash() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(endWithExceptionCode);
}

}  // namespace process
