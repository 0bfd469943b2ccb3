#pragma once

#include <string>
#include <vector>

namespace host {

// What the shell may complete `current` to, the word before it being
// `previous`: the options, the tests after --test, and the operations after
// --sequence, comma by comma. Nothing where a file is wanted: the shell
// completes file names itself.
std::vector<std::string> completions(const std::string& previous, const std::string& current);

}  // namespace host
