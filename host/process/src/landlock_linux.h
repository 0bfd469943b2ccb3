#pragma once

#include <string>
#include <vector>

namespace process {

// Devices that are harmless to reach and that programs expect to open: the
// ones a contained child may write, and the only ones it finds. /dev/tty is
// none for a process with no controlling terminal.
inline constexpr const char* kHarmlessDevices[] = {"/dev/null",   "/dev/zero",    "/dev/full",
                                                   "/dev/random", "/dev/urandom", "/dev/tty"};

// Landlock, the kernel's sandbox for unprivileged processes: what this
// kernel offers of it.
struct LandlockLevel {
    int abi = 0;  // 0: none
    // Writes beneath folders (Linux 5.13).
    bool files() const { return abi >= 1; }
    // Signals and abstract sockets kept within a domain (Linux 6.12).
    bool scope() const { return abi >= 6; }
};
LandlockLevel landlockLevel();

// The places every confined process may write, opened once (O_PATH) for
// all of them: the folders a run opens, and the harmless devices.
class WritablePlaces {
public:
    explicit WritablePlaces(const std::vector<std::string>& folders);
    WritablePlaces(const WritablePlaces&) = delete;
    WritablePlaces& operator=(const WritablePlaces&) = delete;
    ~WritablePlaces();

private:
    friend bool confine(const WritablePlaces& places, const std::string& own);
    std::vector<int> folders_;
    std::vector<int> devices_;
};

// Confines this process and every process it starts, for good: it may write
// beneath its `own` folder and `places` only, and, where the kernel scopes
// them, signal and reach abstract sockets only within its own domain; it can
// trace no process outside it, and it can no longer mount. False, with
// errno, when the kernel refuses.
bool confine(const WritablePlaces& places, const std::string& own);

}  // namespace process
