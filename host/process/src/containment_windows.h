#pragma once

// Containment on Windows: what Windows gives a process without
// administrator rights. Each contained child runs
// - in a job object (every child does), which holds whatever it starts, and
//   which here also keeps it from other processes' windows, the clipboard,
//   global atoms, the system's settings, and logging off or shutting down;
// - with a restricted token, every privilege but traversing folders gone;
// - at low integrity: it writes no file, registry key or process of the
//   user's or plugin-host's, and opens no process of the user's, plugin-host
//   and the other tests' children among them, even to read it; its own
//   folder, which TMP and TEMP name, and the file it reports into are made
//   with a low label, and so are its to write. With --writable it runs at the
//   user's own integrity instead: the user's folders are not ours to relabel.

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>

#include "process/containment.h"

namespace process {

// A low integrity label, which lets a low-integrity child write what is made
// with it: a folder passes it on to what is made in it. Labelling at
// creation needs no privilege; relabelling later needs rights over a file's
// audit settings that a user need not have.
class LowLabel {
public:
    explicit LowLabel(bool folder);  // throws ProcessError
    LowLabel(const LowLabel&) = delete;
    LowLabel& operator=(const LowLabel&) = delete;
    ~LowLabel();
    SECURITY_ATTRIBUTES* attributes() { return &attributes_; }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    SECURITY_ATTRIBUTES attributes_{};
};

// What one contained child starts with.
struct Sandbox {
    HANDLE token = nullptr;    // restricted, at low integrity; not ours to close
    std::wstring environment;  // a block: ours, with TMP and TEMP its folder
    std::filesystem::path folder;
    // Open to delete the folder on close: should plugin-host be killed, the
    // system deletes it with the last handle, when the child left it empty.
    HANDLE folderHandle = INVALID_HANDLE_VALUE;
    Sandbox() = default;
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;
    ~Sandbox();  // the folder goes, with whatever the child left in it
};

// From now on children of runThisProgram are contained as far as
// `containment` allows: what is in place.
ContainmentReport containOnWindows(const Containment& containment);
// Whether they are.
bool containedOnWindows();
// The label of what a child is to write, folder or file, when children run
// at low integrity; nothing otherwise.
std::unique_ptr<LowLabel> labelForChildren(bool folder);
// A new child's sandbox; nothing when the children are not contained.
// Throws ProcessError when it cannot be made.
std::unique_ptr<Sandbox> sandboxFor();
// Keeps a contained child's job from the rest of the desktop.
void limitJob(HANDLE job);

}  // namespace process
