#pragma once

#include <fstream>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

// Whether the process with that id still runs: one that has ended and waits
// to be reaped does not.
inline bool stillRuns(unsigned long pid) {
#if defined(_WIN32)
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return false;
    }
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
#else
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const auto state = text.rfind(')');
    return state != std::string::npos && state + 2 < text.size() && text[state + 2] != 'Z';
#endif
}
