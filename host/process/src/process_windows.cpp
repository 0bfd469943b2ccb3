#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// after windows.h, which they need
#define PSAPI_VERSION 2  // the kernel32 entry points, no psapi.dll
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>
// after windows.h
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include "capture_buffer.h"
#include "containment_windows.h"
#include "process/containment.h"
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
        case EXCEPTION_BREAKPOINT:
            name = "breakpoint";
            break;
        case EXCEPTION_INT_DIVIDE_BY_ZERO:
            name = "integer division by zero";
            break;
        // A floating-point trap a plugin turned on: x87's codes, and SSE's.
        case EXCEPTION_FLT_INVALID_OPERATION:
            name = "floating-point invalid operation";
            break;
        case EXCEPTION_FLT_DIVIDE_BY_ZERO:
            name = "floating-point division by zero";
            break;
        case 0xC00002B4:  // STATUS_FLOAT_MULTIPLE_FAULTS
        case 0xC00002B5:  // STATUS_FLOAT_MULTIPLE_TRAPS
            name = "floating-point trap";
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

// ": " and the system's words for an error code, or nothing.
std::string systemText(DWORD code) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text = length != 0 ? std::string(buffer, length) : std::string();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? text : ": " + text;
}

LONG WINAPI endWithExceptionCode(EXCEPTION_POINTERS* info) {
    TerminateProcess(GetCurrentProcess(), info->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// A pipe whose write end a child inherits, read on a thread of its own until
// every writer is gone; what it reads is counted and its head kept.
class CapturePipe {
public:
    explicit CapturePipe(std::size_t limit = kCaptureLimit, std::string sought = {})
        : capture_(limit, std::move(sought)) {
        // Neither end is inheritable but while its own child is started, so
        // that children started at the same time do not hold each other's.
        if (!CreatePipe(&read_, &write_, nullptr, 0)) {
            throw ProcessError("cannot make a pipe (system error " +
                               std::to_string(GetLastError()) + ")");
        }
    }
    CapturePipe(const CapturePipe&) = delete;
    CapturePipe& operator=(const CapturePipe&) = delete;
    ~CapturePipe() {
        closeWrite();
        finish();
        CloseHandle(read_);
    }
    HANDLE writeEnd() const { return write_; }
    // Returns once the reader runs, so that it counts among the threads that
    // were there before whatever comes next.
    void start() {
        std::atomic<bool> running{false};
        reader_ = std::thread([this, &running] {
            running = true;
            char buffer[65536];
            DWORD got = 0;
            while (ReadFile(read_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
                capture_.take(buffer, got);
            }
        });
        while (!running) {
            std::this_thread::yield();
        }
    }
    void closeWrite() {
        if (write_ != nullptr) {
            CloseHandle(write_);
            write_ = nullptr;
        }
    }
    // Waits a moment for the last writer to go, then stops reading.
    Captured finish() {
        if (reader_.joinable()) {
            for (int i = 0; i < 20; ++i) {
                DWORD available = 0;
                if (!PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr)) {
                    break;  // every writer is gone
                }
                Sleep(10);
            }
            CancelSynchronousIo(reader_.native_handle());
            reader_.join();
        }
        return capture_.captured();
    }

private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
    Capture capture_;
    std::thread reader_;
};

}  // namespace

namespace {

// run(), in `sandbox` when there is one.
Termination runIn(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                  const Redirect& redirect, const Watchdog& watchdog, const Sandbox* sandbox) {
    std::wstring commandLine = quote(program.wstring());
    for (const auto& argument : arguments) {
        commandLine += L' ';
        commandLine += quote(pathFromUtf8(argument).wstring());
    }

    STARTUPINFOEXW startupEx{};
    STARTUPINFOW& startup = startupEx.StartupInfo;
    startup.cb = sizeof startupEx;
    HANDLE output = nullptr;
    HANDLE error = nullptr;
    std::optional<CapturePipe> outPipe;
    std::optional<CapturePipe> errPipe;
    const bool ownFiles = !redirect.capture;
    if (redirect.capture) {
        outPipe.emplace(redirect.captureLimit);
        errPipe.emplace(redirect.captureLimit, redirect.soughtInError);
        output = outPipe->writeEnd();
        error = errPipe->writeEnd();
    } else {
        output = redirect.standardOutput.empty() ? GetStdHandle(STD_OUTPUT_HANDLE)
                                                 : openForChild(redirect.standardOutput);
        error = redirect.standardError.empty() ? GetStdHandle(STD_ERROR_HANDLE)
                                               : openForChild(redirect.standardError);
    }
    // The input is written whole and its pipe's write end closed before the
    // child starts: the child reads it to its end, and no one else holds it.
    HANDLE inputRead = nullptr;
    if (redirect.standardInput) {
        if (redirect.standardInput->size() > kInputLimit) {
            throw ProcessError("more input than a pipe holds before its reader starts");
        }
        HANDLE inputWrite = nullptr;
        DWORD wrote = 0;
        const bool given =
            CreatePipe(&inputRead, &inputWrite, nullptr, 0) &&
            WriteFile(inputWrite, redirect.standardInput->data(),
                      static_cast<DWORD>(redirect.standardInput->size()), &wrote, nullptr) &&
            wrote == redirect.standardInput->size();
        const DWORD error = GetLastError();
        if (inputWrite != nullptr) {
            CloseHandle(inputWrite);
        }
        if (!given) {
            if (inputRead != nullptr) {
                CloseHandle(inputRead);
            }
            throw ProcessError("cannot give the child its input (system error " +
                               std::to_string(error) + ")");
        }
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputRead != nullptr ? inputRead : GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = error;

    // The child and everything it starts belong to one job, which goes when
    // the child has ended.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        throw ProcessError("cannot make a job object (system error " +
                           std::to_string(GetLastError()) + ")");
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    if (sandbox != nullptr) {
        limitJob(job);
    }

    // The child inherits its three standard handles and nothing else: not
    // plugin-host's own output, which a plugin could otherwise write into
    // by handle value.
    std::vector<HANDLE> inherited{output, error};
    if (startup.hStdInput != nullptr && startup.hStdInput != INVALID_HANDLE_VALUE &&
        (GetFileType(startup.hStdInput) != FILE_TYPE_UNKNOWN)) {
        inherited.push_back(startup.hStdInput);
    }
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listBytes(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    const bool listed =
        InitializeProcThreadAttributeList(list, 1, 0, &listSize) &&
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                  inherited.size() * sizeof(HANDLE), nullptr, nullptr);
    startupEx.lpAttributeList = listed ? list : nullptr;

    // The child's own start counts from before it is started.
    const StallDetector stall(watchdog);
    // A child whose three streams are all ours to give gets no console: it
    // can neither read the user's nor change its modes.
    const DWORD console = redirect.capture && redirect.standardInput ? DETACHED_PROCESS : 0;
    PROCESS_INFORMATION child{};
    BOOL started = FALSE;
    DWORD startError = 0;
    {
        static std::mutex starting;
        const std::lock_guard<std::mutex> one(starting);
        // Each handle in the list must be inheritable while the child starts.
        std::vector<DWORD> flags(inherited.size(), 0);
        for (std::size_t i = 0; i < inherited.size(); ++i) {
            GetHandleInformation(inherited[i], &flags[i]);
            SetHandleInformation(inherited[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        }
        const DWORD how = CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT | console;
        started = sandbox != nullptr
                      ? CreateProcessAsUserW(sandbox->token, program.wstring().c_str(),
                                             commandLine.data(), nullptr, nullptr, TRUE,
                                             how | CREATE_UNICODE_ENVIRONMENT,
                                             const_cast<wchar_t*>(sandbox->environment.data()),
                                             nullptr, &startup, &child)
                      : CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr,
                                       nullptr, TRUE, how, nullptr, nullptr, &startup, &child);
        startError = GetLastError();
        for (std::size_t i = 0; i < inherited.size(); ++i) {
            SetHandleInformation(inherited[i], HANDLE_FLAG_INHERIT, flags[i] & HANDLE_FLAG_INHERIT);
        }
    }
    if (listed) {
        DeleteProcThreadAttributeList(list);
    }
    if (inputRead != nullptr) {
        CloseHandle(inputRead);
    }
    if (ownFiles && !redirect.standardOutput.empty()) {
        CloseHandle(output);
    }
    if (ownFiles && !redirect.standardError.empty()) {
        CloseHandle(error);
    }
    if (!started) {
        CloseHandle(job);
        throw ProcessError(pathToUtf8(program) + ": cannot start (system error " +
                           std::to_string(startError) + systemText(startError) + ")");
    }
    AssignProcessToJobObject(job, child.hProcess);
    ResumeThread(child.hThread);
    if (redirect.capture) {
        outPipe->closeWrite();
        errPipe->closeWrite();
        outPipe->start();
        errPipe->start();
    }

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
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                  sizeof accounting, nullptr) &&
        accounting.ActiveProcesses > 0) {
        termination.leftProcesses = true;
        TerminateJobObject(job, 1);
    }
    CloseHandle(job);
    if (redirect.capture) {
        termination.standardOutput = outPipe->finish();
        termination.standardError = errPipe->finish();
    }

    termination.exitCode = static_cast<int>(code);
    termination.timedOut = timedOut;
    if (timedOut) {
        termination.description =
            "killed after " + std::to_string(watchdog.limit.count()) + " ms without progress";
    } else if (code >= 0x80000000u) {
        // Status codes of severity "warning" (a breakpoint, a single step)
        // and "error" are exceptions nobody handled.
        termination.crashed = true;
        termination.description = describeException(code);
    } else {
        termination.description = "exit code " + std::to_string(code);
    }
    return termination;
}

}  // namespace

Termination run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                const Redirect& redirect, const Watchdog& watchdog) {
    return runIn(program, arguments, redirect, watchdog, nullptr);
}

ContainmentReport contain(const Containment& containment) {
    // Without administrator rights Windows gives no network part to take
    // back: --allow-network changes nothing here.
    return containOnWindows(containment);
}

bool capabilitiesConfined() {
    return false;  // no capabilities on Windows
}

bool sharedFileMadeWithChild() {
    return false;
}

std::filesystem::path sharedPath(const TemporaryFile& file) {
    return file.path();
}

// Windows has no fork: each child is started afresh.
Termination runThisProgram(const std::vector<std::string>& arguments, const Redirect& redirect,
                           const Watchdog& watchdog) {
    const std::unique_ptr<Sandbox> sandbox = sandboxFor();
    return runIn(currentExecutable(), arguments, redirect, watchdog, sandbox.get());
}

std::optional<int> serveForks(int, char**, ProgramEntry) {
    return std::nullopt;
}

namespace {
// Threads started and ended since the program began, counted by the loader's
// calls of every module's TLS callbacks; a snapshot of the process's threads
// would cost a round trip to the system for each.
std::atomic<long> threadsRunning{1};

void NTAPI countThreads(PVOID, DWORD reason, PVOID) {
    if (reason == DLL_THREAD_ATTACH) {
        ++threadsRunning;
    } else if (reason == DLL_THREAD_DETACH) {
        --threadsRunning;
    }
}
}  // namespace

// In the program's TLS callback table; /INCLUDE keeps the linker from
// dropping what nothing else refers to.
extern "C" {
#pragma section(".CRT$XLV", long, read)
__declspec(allocate(".CRT$XLV")) extern const PIMAGE_TLS_CALLBACK velquistCountThreads;
const PIMAGE_TLS_CALLBACK velquistCountThreads = countThreads;
}
#pragma comment(linker, "/INCLUDE:_tls_used")
#pragma comment(linker, "/INCLUDE:velquistCountThreads")

std::size_t runningThreads(bool exact) {
    if (!exact) {
        return static_cast<std::size_t>(threadsRunning.load());
    }
    std::size_t count = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return static_cast<std::size_t>(threadsRunning.load());
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        count += entry.th32OwnerProcessID == self ? 1 : 0;
    }
    CloseHandle(snapshot);
    return count;
}

struct OwnOutputCapture::State {
    int saved[2] = {-1, -1};
    HANDLE savedHandles[2] = {nullptr, nullptr};
    CapturePipe pipes[2];
};

OwnOutputCapture::State* OwnOutputCapture::active_ = nullptr;

OwnOutputCapture::OwnOutputCapture() : state_(new State) {
    active_ = state_;
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const DWORD ids[2] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 2; ++i) {
        // Both the C runtime's descriptor and the process's standard handle:
        // a plugin may write through either.
        state_->saved[i] = _dup(i + 1);
        state_->savedHandles[i] = GetStdHandle(ids[i]);
        HANDLE duplicate = nullptr;
        DuplicateHandle(GetCurrentProcess(), state_->pipes[i].writeEnd(), GetCurrentProcess(),
                        &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS);
        // Text mode, as a child's standard streams are: both modes count alike.
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(duplicate), _O_WRONLY | _O_TEXT);
        _dup2(fd, i + 1);
        _close(fd);
        SetStdHandle(ids[i], state_->pipes[i].writeEnd());
        state_->pipes[i].start();
    }
}

std::pair<Captured, Captured> OwnOutputCapture::stop() {
    if (state_ == nullptr) {
        return {};
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    const DWORD ids[2] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    Captured captured[2];
    for (int i = 0; i < 2; ++i) {
        SetStdHandle(ids[i], state_->savedHandles[i]);
        if (state_->saved[i] >= 0) {
            _dup2(state_->saved[i], i + 1);
            _close(state_->saved[i]);
        }
        state_->pipes[i].closeWrite();
        captured[i] = state_->pipes[i].finish();
    }
    active_ = nullptr;
    delete state_;
    state_ = nullptr;
    return {captured[0], captured[1]};
}

void OwnOutputCapture::releaseForExit() noexcept {
    if (State* state = active_) {
        const DWORD ids[2] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
        for (int i = 0; i < 2; ++i) {
            SetStdHandle(ids[i], state->savedHandles[i]);
            if (state->saved[i] >= 0) {
                _dup2(state->saved[i], i + 1);
            }
        }
    }
}

std::string OwnOutputCapture::taken(bool) const {
    return {};
}

OwnOutputCapture::~OwnOutputCapture() {
    stop();
}

std::optional<std::string> readStandardInput(std::size_t limit) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string bytes;
    char buffer[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(input, buffer, sizeof buffer, &got, nullptr)) {
            // A pipe whose writer has gone has ended.
            if (GetLastError() == ERROR_BROKEN_PIPE) {
                return bytes;
            }
            return std::nullopt;
        }
        if (got == 0) {
            return bytes;
        }
        if (bytes.size() + got > limit) {
            return std::nullopt;
        }
        bytes.append(buffer, got);
    }
}

bool createEmptyFile(const std::filesystem::path& path) {
    // Not inheritable: a child started at this moment by another thread
    // gets no handle to it.
    HANDLE file = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = GetLastError() == ERROR_PATH_NOT_FOUND ? ENOENT : EACCES;
        return false;
    }
    CloseHandle(file);
    return true;
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

// A job object holds what a child starts; in plugin-host's own process
// nothing does, and Windows has no parent to hand orphans to.
void adoptOrphans() {}
std::vector<std::string> endStrays() {
    return {};
}

long openDescriptors() {
    // Handle values are multiples of 4, handed out lowest first: count the
    // valid ones until a long run of values that are not. (Wine has no
    // GetProcessHandleCount.)
    long count = 0;
    int invalidInARow = 0;
    for (std::uintptr_t value = 4; invalidInARow < 1024; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
            invalidInARow = 0;
        } else {
            ++invalidInARow;
        }
    }
    return count;
}

Memory memoryNow() {
    Memory memory;
    PROCESS_MEMORY_COUNTERS counters{};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) {
        memory.residentKiB = static_cast<long>(counters.WorkingSetSize / 1024);
    }
    // Private memory committed, whether touched or not, region by region.
    std::uintmax_t committed = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const char* address = nullptr;
         VirtualQuery(address, &region, sizeof region) == sizeof region;
         address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) {
            committed += region.RegionSize;
        }
    }
    memory.allocatedKiB = static_cast<long>(committed / 1024);
    return memory;
}

long peakResidentKiB() {
    PROCESS_MEMORY_COUNTERS memory{};
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory)) {
        return 0;
    }
    return static_cast<long>(memory.PeakWorkingSetSize / 1024);
}

void endWithParent() {}

void endQuietlyOnCrash() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(endWithExceptionCode);
}

namespace {

// Never destroyed: what crashes at exit crashes after static destructors.
std::string* crashBefore = nullptr;
std::string* crashAfter = nullptr;
int crashExitCode = 1;

// First of the vectored handlers: nothing of the process's may handle a
// fault after this point.
LONG WINAPI reportCrash(EXCEPTION_POINTERS* exception) {
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    if (code != EXCEPTION_ACCESS_VIOLATION && code != EXCEPTION_ILLEGAL_INSTRUCTION &&
        code != EXCEPTION_PRIV_INSTRUCTION && code != EXCEPTION_STACK_OVERFLOW &&
        code != EXCEPTION_INT_DIVIDE_BY_ZERO) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    const std::string line = *crashBefore + describeException(code) + *crashAfter + "\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
              &written, nullptr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(crashExitCode));
    return EXCEPTION_CONTINUE_SEARCH;
}

CrashLine announcedLine = nullptr;

// The last filter the system asks about an exception nothing handled: a
// first-chance exception the plugin handles itself never comes here.
LONG WINAPI announceCrash(EXCEPTION_POINTERS* exception) {
    const std::string crash = describeException(exception->ExceptionRecord->ExceptionCode);
    char line[2048];
    std::size_t size = announcedLine(crash.c_str(), line, sizeof line - 2);
    line[size++] = '\r';
    line[size++] = '\n';
    OwnOutputCapture::releaseForExit();
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(size), &written, nullptr);
    // A debugger sees the exception before any filter, where it happened;
    // without one, the process ends with its code, as an unhandled one
    // would, but with no error report's dialog or debugger to wait for.
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

void announceCrashes(CrashLine line) {
    announcedLine = line;
    SetUnhandledExceptionFilter(line != nullptr ? announceCrash : nullptr);
}

void reportCrashesFromNowOn(const std::string& before, const std::string& after, int exitCode) {
    crashBefore = new std::string(before);
    crashAfter = new std::string(after);
    crashExitCode = exitCode;
    AddVectoredExceptionHandler(1, reportCrash);
}

}  // namespace process
