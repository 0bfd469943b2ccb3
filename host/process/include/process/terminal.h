#pragma once

#include <optional>

namespace process {

// The width in columns of the terminal this process's standard error writes
// to: none when it writes to anything else (a file, a pipe, a CI log), 0 when
// it is a terminal of unknown width.
std::optional<int> standardErrorTerminalColumns();

}  // namespace process
