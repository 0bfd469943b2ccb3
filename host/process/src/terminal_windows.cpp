#include <windows.h>

#include "process/terminal.h"

namespace process {

// A console is what a terminal is on Windows; the C runtime's _isatty also
// says yes for the NUL device, which shows nothing.
std::optional<int> standardErrorTerminalColumns() {
    const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || GetConsoleMode(handle, &mode) == 0) {
        return std::nullopt;
    }
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(handle, &info) == 0) {
        return 0;
    }
    return static_cast<int>(info.srWindow.Right - info.srWindow.Left + 1);
}

}  // namespace process
