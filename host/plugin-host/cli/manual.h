#pragma once

#include <string>

namespace host {

// plugin-host(1), the manual page, in roff: the options as --help describes
// them, the tests as --list-tests does, the warnings and exit codes as
// --help's footer says, from the same texts.
std::string manualPage();

}  // namespace host
