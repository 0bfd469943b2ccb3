#include <sys/ioctl.h>
#include <unistd.h>

#include "process/terminal.h"

namespace process {

std::optional<int> standardErrorTerminalColumns() {
    if (isatty(STDERR_FILENO) == 0) {
        return std::nullopt;
    }
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) {
        return 0;
    }
    return static_cast<int>(size.ws_col);
}

}  // namespace process
