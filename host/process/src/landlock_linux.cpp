// Landlock, by its system calls: glibc has no wrappers, and this machine's
// headers may be older than its kernel, so the newer rights are spelled
// out here as the kernel defines them.

#include "landlock_linux.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace process {

namespace {

// The ruleset's attributes as the newest kernel reads them; an older one
// is given the part it knows.
struct RulesetAttributes {
    std::uint64_t handledFiles = 0;
    std::uint64_t handledNetwork = 0;  // ABI 4
    std::uint64_t scoped = 0;          // ABI 6
};

constexpr std::uint64_t kRefer = 1ull << 13;                // ABI 2
constexpr std::uint64_t kTruncate = 1ull << 14;             // ABI 3
constexpr std::uint64_t kIoctlDevice = 1ull << 15;          // ABI 5
constexpr std::uint64_t kScopeAbstractSockets = 1ull << 0;  // ABI 6
constexpr std::uint64_t kScopeSignals = 1ull << 1;          // ABI 6

// Every right that changes a file or a folder, and none that reads or
// runs one: the plugin reads the whole file system and writes its own
// folders only.
std::uint64_t writeRights(int abi) {
    std::uint64_t rights = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                           LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                           LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                           LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                           LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
    rights |= abi >= 2 ? kRefer : 0;
    rights |= abi >= 3 ? kTruncate : 0;
    // A device's controls: the user's terminal among them.
    rights |= abi >= 5 ? kIoctlDevice : 0;
    return rights;
}

// The rights a rule on a file, not a folder, may carry.
constexpr std::uint64_t kFileRights = LANDLOCK_ACCESS_FS_WRITE_FILE | kTruncate | kIoctlDevice;

bool allow(int ruleset, int at, std::uint64_t rights) {
    landlock_path_beneath_attr beneath{};
    beneath.allowed_access = rights;
    beneath.parent_fd = at;
    return syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0) == 0;
}

int openPath(const char* path) {
    return ::open(path, O_PATH | O_CLOEXEC);
}

}  // namespace

LandlockLevel landlockLevel() {
    LandlockLevel level;
    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    level.abi = abi > 0 ? static_cast<int>(abi) : 0;
    return level;
}

WritablePlaces::WritablePlaces(const std::vector<std::string>& folders) {
    for (const auto& folder : folders) {
        folders_.push_back(openPath(folder.c_str()));
    }
    for (const char* device : kHarmlessDevices) {
        // A device this machine lacks is one nobody writes.
        if (const int at = openPath(device); at >= 0) {
            devices_.push_back(at);
        }
    }
}

WritablePlaces::~WritablePlaces() {
    for (const auto* list : {&folders_, &devices_}) {
        for (const int fd : *list) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
}

bool confine(const WritablePlaces& places, const std::string& own) {
    const int abi = landlockLevel().abi;
    if (abi < 1) {
        errno = EOPNOTSUPP;
        return false;
    }
    RulesetAttributes attributes;
    attributes.handledFiles = writeRights(abi);
    std::size_t size = sizeof attributes.handledFiles;
    if (abi >= 6) {
        attributes.scoped = kScopeSignals | kScopeAbstractSockets;
        size = sizeof attributes;
    }
    const int ruleset =
        static_cast<int>(syscall(SYS_landlock_create_ruleset, &attributes, size, 0));
    if (ruleset < 0) {
        return false;
    }
    const int folder = openPath(own.c_str());
    bool ruled = folder >= 0 && allow(ruleset, folder, attributes.handledFiles);
    for (const int at : places.folders_) {
        ruled = ruled && at >= 0 && allow(ruleset, at, attributes.handledFiles);
    }
    for (const int at : places.devices_) {
        ruled = ruled && allow(ruleset, at, attributes.handledFiles & kFileRights);
    }
    // Without the privilege to restrict itself, a process must give up
    // gaining any first, which no process can take back.
    const bool restricted =
        ruled && (syscall(SYS_landlock_restrict_self, ruleset, 0) == 0 ||
                  (errno == EPERM && prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
                   syscall(SYS_landlock_restrict_self, ruleset, 0) == 0));
    const int error = errno;
    ::close(ruleset);
    if (folder >= 0) {
        ::close(folder);
    }
    errno = error;
    return restricted;
}

}  // namespace process
