#pragma once

#include <string>
#include <string_view>

// The files of /proc the guards read, each with one open and one read, not
// a stream: the guards read them at every unload a sequence makes.
namespace host::guards {

// The whole of a small file of /proc; empty when it cannot be read.
std::string procFile(const char* path);

// A field of /proc/self/status ("VmLck"), as this look of the guards reads
// it: the file is read once for each look (see newLook), whichever guards
// ask.
std::string_view statusField(std::string_view name);
// Begins a look of the guards, after which /proc/self/status is read anew.
void newLook();

}  // namespace host::guards
