#include "guards/proc_files.h"

#include <fcntl.h>
#include <unistd.h>

namespace host::guards {

namespace {
std::string status;
bool statusRead = false;
}  // namespace

std::string procFile(const char* path) {
    std::string text;
    const int file = open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return text;
    }
    char buffer[8192];
    for (ssize_t got; (got = read(file, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(file);
    return text;
}

void newLook() {
    statusRead = false;
}

std::string_view statusField(std::string_view name) {
    if (!statusRead) {
        status = procFile("/proc/self/status");
        statusRead = true;
    }
    const std::string_view text(status);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        const std::string_view line = text.substr(at, end - at);
        if (line.size() > name.size() && line.substr(0, name.size()) == name &&
            line[name.size()] == ':') {
            const std::size_t value = line.find_first_not_of(" \t", name.size() + 1);
            return value == std::string_view::npos ? std::string_view() : line.substr(value);
        }
        at = end + 1;
    }
    return {};
}

}  // namespace host::guards
