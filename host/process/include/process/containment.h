#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "process/temporary_file.h"

// What keeps a child of runThisProgram inside its own run: whatever it does
// reaches no process, file or connection outside it.
namespace process {

// What a contained child may reach all the same.
struct Containment {
    bool network = false;                         // the machine's network
    std::vector<std::filesystem::path> writable;  // folders it may write, besides its own
};
inline bool operator==(const Containment& a, const Containment& b) {
    return a.network == b.network && a.writable == b.writable;
}
inline bool operator!=(const Containment& a, const Containment& b) {
    return !(a == b);
}

// What is in place, by the names README uses ("pid namespace", "seccomp
// filter", "restricted token"), and what the system refused, with why.
struct ContainmentReport {
    std::vector<std::string> inPlace;
    std::vector<std::string> missing;
    std::string why;  // the system's reason for the first one missing
};

// From now on every child of runThisProgram is contained as `containment`
// says, as far as the system allows; what that is comes back. On Linux this
// starts the fork server, which sets it up once. Throws ProcessError when
// not even a child can be started.
ContainmentReport contain(const Containment& containment);

// Whether the file a child of runThisProgram is given (Redirect::shared) is
// made for it as it starts, where it can reach it: so on Linux, where a
// contained child sees none of this process's files. Until then a
// TemporaryFile with no file stands for it.
bool sharedFileMadeWithChild();

// The path by which a child reaches `file`, given it through
// Redirect::shared.
std::filesystem::path sharedPath(const TemporaryFile& file);

// Whether this process is a contained child whose capabilities reach only a
// user namespace of its own, not the machine: it may not raise a limit,
// lower its nice value or take a real-time class, whatever its capability
// set says.
bool capabilitiesConfined();

}  // namespace process
