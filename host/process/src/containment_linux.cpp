#include "containment_linux.h"

#include <fcntl.h>
#include <linux/mount.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

#include "landlock_linux.h"
#include "process/process.h"
#include "seccomp_filter_linux.h"

namespace process {

namespace {

// ---- code that shares our memory ---------------------------------------------
//
// The namespaces are made by helpers that share this process's memory and
// descriptors, so that what they open is ours at once. They run beside this
// process's threads, and so make no call into the C library, which would
// write a thread's errno and state, only system calls of their own.

#if !defined(__x86_64__)
#error "containment is written for x86-64 Linux"
#endif

#define SHARED_MEMORY_CODE __attribute__((no_sanitize("address", "undefined"), noinline)) static

__attribute__((always_inline)) inline long sys(long number, long a = 0, long b = 0, long c = 0,
                                               long d = 0, long e = 0) {
    long result;
    register long r10 asm("r10") = d;
    register long r8 asm("r8") = e;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8)
                 : "rcx", "r11", "memory");
    return result;
}

template <typename T>
__attribute__((always_inline)) inline long arg(T* pointer) {
    return reinterpret_cast<long>(pointer);
}

// clone() for a helper: it runs fn(argument) on `stack` and exits with what
// that gives back; the caller gets its pid, or an errno, negated.
extern "C" long sharedClone(unsigned long flags, void* stack, int (*fn)(void*), void* argument);
asm(R"(
    .text
    .type sharedClone, @function
sharedClone:
    and $-16, %rsi
    sub $16, %rsi
    mov %rdx, 0(%rsi)
    mov %rcx, 8(%rsi)
    mov $56, %eax
    xor %edx, %edx
    xor %r10d, %r10d
    xor %r8d, %r8d
    syscall
    test %rax, %rax
    jnz 1f
    xor %ebp, %ebp
    pop %rax
    pop %rdi
    call *%rax
    mov %rax, %rdi
    mov $60, %eax
    syscall
    hlt
1:
    ret
    .size sharedClone, .-sharedClone
)");

// Where the tests' folders are made: with the mount namespace, a file system
// of the server's own that no other process sees; else the machine's shared
// memory, each folder named for its server.
constexpr const char* kTestFolders = "/dev/shm";

// What the helpers are told, and what they say.
struct Preparation {
    // Told.
    const char* const* writable = nullptr;  // null-terminated
    bool network = false;
    bool all = false;  // every id maps onto itself (the root user's run)
    unsigned uid = 0;
    unsigned gid = 0;
    int mapped[2] = {-1, -1};  // its own user namespace is mapped
    // Said.
    long user = -1;
    long children = -1;
    long networkNamespace = -1;
    long mount = -1;
    const char* failed = nullptr;  // the step that failed
    long error = 0;
    // The helper below it, which makes the children's user namespace.
    int opened[2] = {-1, -1};
    int go[2] = {-1, -1};
    long childOpened = -1;
    alignas(64) unsigned char stack[32 * 1024];
    alignas(64) unsigned char childStack[16 * 1024];
};

SHARED_MEMORY_CODE long writeText(const char* path, const char* text) {
    const long fd = sys(SYS_openat, AT_FDCWD, arg(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return fd;
    }
    long size = 0;
    while (text[size] != '\0') {
        ++size;
    }
    const long written = sys(SYS_write, fd, arg(text), size);
    sys(SYS_close, fd);
    return written == size ? 0 : (written < 0 ? written : -EIO);
}

// "/proc/PID/NAME", into `path`.
SHARED_MEMORY_CODE void procPath(char (&path)[64], long pid, const char* name) {
    const char prefix[] = "/proc/";
    int at = 0;
    for (; prefix[at] != '\0'; ++at) {
        path[at] = prefix[at];
    }
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid > 0);
    while (count > 0) {
        path[at++] = digits[--count];
    }
    path[at++] = '/';
    for (int i = 0; name[i] != '\0' && at < 63; ++i) {
        path[at++] = name[i];
    }
    path[at] = '\0';
}

// "ID ID 1", or every id onto itself.
SHARED_MEMORY_CODE void idMapping(char (&text)[40], unsigned id, bool all) {
    const char every[] = "0 0 4294967295";
    int at = 0;
    if (all) {
        for (; every[at] != '\0'; ++at) {
            text[at] = every[at];
        }
        text[at] = '\0';
        return;
    }
    char digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + id % 10);
        id /= 10;
    } while (id > 0);
    for (int twice = 0; twice < 2; ++twice) {
        for (int i = count; i > 0; --i) {
            text[at++] = digits[i - 1];
        }
        text[at++] = ' ';
    }
    text[at++] = '1';
    text[at] = '\0';
}

SHARED_MEMORY_CODE int holdChildren(void* argument) {
    auto* prepared = static_cast<Preparation*>(argument);
    prepared->childOpened =
        sys(SYS_openat, AT_FDCWD, arg("/proc/self/ns/user"), O_RDONLY | O_CLOEXEC);
    char byte = 0;
    sys(SYS_write, prepared->opened[1], arg(&byte), 1);
    sys(SYS_read, prepared->go[0], arg(&byte), 1);
    return 0;
}

SHARED_MEMORY_CODE long step(Preparation* prepared, const char* what, long result) {
    if (result < 0 && prepared->failed == nullptr) {
        prepared->failed = what;
        prepared->error = -result;
    }
    return result;
}

SHARED_MEMORY_CODE long setAttributesShared(const char* path, unsigned flags, std::uint64_t set,
                                            std::uint64_t clear) {
    mount_attr attributes{};
    attributes.attr_set = set;
    attributes.attr_clr = clear;
    return sys(SYS_mount_setattr, AT_FDCWD, arg(path), flags, arg(&attributes), sizeof attributes);
}

// In the server's user namespace, and in new network and mount namespaces
// of it, once its user is mapped: makes the read-only file system and the
// children's user namespace, and opens them all.
SHARED_MEMORY_CODE int prepare(void* argument) {
    auto* prepared = static_cast<Preparation*>(argument);
    char byte = 0;
    if (sys(SYS_read, prepared->mapped[0], arg(&byte), 1) != 1 || byte != 'm') {
        return 1;
    }
    prepared->user =
        step(prepared, "its user namespace",
             sys(SYS_openat, AT_FDCWD, arg("/proc/self/ns/user"), O_RDONLY | O_CLOEXEC));
    if (!prepared->network) {
        prepared->networkNamespace =
            step(prepared, "the network namespace",
                 sys(SYS_openat, AT_FDCWD, arg("/proc/self/ns/net"), O_RDONLY | O_CLOEXEC));
    }
    // The children's user namespace, below this one: a child is root there
    // (or the user that started the run), but has no capability over what
    // this one owns, the mounts and the network namespace, and can change
    // none of it.
    long result = 0;
    if (prepared->failed == nullptr) {
        const long child = step(prepared, "the children's user namespace",
                                sharedClone(CLONE_VM | CLONE_FILES | CLONE_NEWUSER | SIGCHLD,
                                            prepared->childStack + sizeof prepared->childStack,
                                            holdChildren, prepared));
        if (child > 0) {
            sys(SYS_read, prepared->opened[0], arg(&byte), 1);
            char path[64];
            char map[40];
            procPath(path, child, "uid_map");
            idMapping(map, prepared->uid, prepared->all);
            result = step(prepared, "the children's user namespace", writeText(path, map));
            if (result == 0 && !prepared->all) {
                procPath(path, child, "setgroups");
                result = step(prepared, "the children's user namespace", writeText(path, "deny"));
            }
            if (result == 0) {
                procPath(path, child, "gid_map");
                idMapping(map, prepared->gid, prepared->all);
                result = step(prepared, "the children's user namespace", writeText(path, map));
            }
            sys(SYS_write, prepared->go[1], arg(&byte), 1);
            while (sys(SYS_wait4, child, 0, __WALL, 0) == -EINTR) {
            }
            if (result == 0) {
                prepared->children =
                    step(prepared, "the children's user namespace", prepared->childOpened);
            }
        }
    }
    // The file system, read-only, with no devices but the harmless ones and
    // no set-user-ID programs, but for the folders the run opened; and a
    // file system of the server's own for the tests' folders.
    // (After the children's user namespace: its mapping is written through
    // /proc, which is read-only from here on.)
    if (prepared->failed == nullptr) {
        result = step(prepared, "a private mount tree",
                      sys(SYS_mount, 0, arg("/"), 0, MS_REC | MS_PRIVATE, 0));
    }
    if (result == 0) {
        result =
            step(prepared, "a read-only file system",
                 setAttributesShared("/", AT_RECURSIVE,
                                     MOUNT_ATTR_RDONLY | MOUNT_ATTR_NODEV | MOUNT_ATTR_NOSUID, 0));
    }
    for (const char* const* folder = prepared->writable; result == 0 && *folder != nullptr;
         ++folder) {
        result = step(prepared, "a folder --writable opens",
                      sys(SYS_mount, arg(*folder), arg(*folder), 0, MS_BIND | MS_REC, 0));
        if (result == 0) {
            result = step(prepared, "a folder --writable opens",
                          setAttributesShared(*folder, AT_RECURSIVE, 0, MOUNT_ATTR_RDONLY));
        }
    }
    for (std::size_t i = 0; result == 0 && i < std::size(kHarmlessDevices); ++i) {
        const char* device = kHarmlessDevices[i];
        if (sys(SYS_faccessat, AT_FDCWD, arg(device), F_OK, 0) == 0) {
            result =
                step(prepared, device, sys(SYS_mount, arg(device), arg(device), 0, MS_BIND, 0));
            if (result == 0) {
                result =
                    step(prepared, device, setAttributesShared(device, 0, 0, MOUNT_ATTR_NODEV));
            }
        }
    }
    if (result == 0) {
        result = step(prepared, "a file system for the tests' folders",
                      sys(SYS_mount, arg("tmpfs"), arg(kTestFolders), arg("tmpfs"),
                          MS_NOSUID | MS_NODEV, arg("mode=0755")));
    }
    if (result == 0) {
        prepared->mount =
            step(prepared, "the mount namespace",
                 sys(SYS_openat, AT_FDCWD, arg("/proc/self/ns/mnt"), O_RDONLY | O_CLOEXEC));
    }
    return prepared->failed == nullptr ? 0 : 1;
}

// ---- plain helpers ----------------------------------------------------------

std::string errorText(int error) {
    return std::strerror(error);
}

bool writeFile(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int error = errno;
    close(fd);
    errno = error;
    return written;
}

void say(std::string& bytes, const char* key, const std::string& value) {
    bytes += key;
    bytes += ' ';
    bytes += value;
    bytes += '\n';
}

}  // namespace

// ---- the process that asks --------------------------------------------------

SharedNamespaces::~SharedNamespaces() {
    for (const int fd : {user, children, network, mount}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::vector<int> SharedNamespaces::descriptors() const {
    std::vector<int> fds;
    for (const int fd : {user, children, network, mount}) {
        if (fd >= 0) {
            fds.push_back(fd);
        }
    }
    return fds;
}

void makeSharedNamespaces(const Containment& containment, SharedNamespaces& made) {
    const auto refused = [&made, &containment](const std::string& why) {
        made.report.missing = {"user namespace"};
        if (!containment.network) {
            made.report.missing.push_back("network namespace");
        }
        made.report.missing.push_back("mount namespace");
        // The server makes it only in the user namespace.
        made.report.missing.push_back("ipc namespace");
        made.report.why = why;
    };
    std::vector<std::string> folders;
    for (const auto& folder : containment.writable) {
        folders.push_back(folder.string());
    }
    std::vector<const char*> writable;
    for (const auto& folder : folders) {
        writable.push_back(folder.c_str());
    }
    writable.push_back(nullptr);
    auto prepared = std::make_unique<Preparation>();
    prepared->writable = writable.data();
    prepared->network = containment.network;
    prepared->all = geteuid() == 0;
    prepared->uid = geteuid();
    prepared->gid = getegid();
    if (pipe2(prepared->mapped, O_CLOEXEC) != 0 || pipe2(prepared->opened, O_CLOEXEC) != 0 ||
        pipe2(prepared->go, O_CLOEXEC) != 0) {
        refused("pipes: " + errorText(errno));
        return;
    }
    const auto closeAll = [&prepared] {
        for (int* pair : {prepared->mapped, prepared->opened, prepared->go}) {
            for (int i = 0; i < 2; ++i) {
                if (pair[i] >= 0) {
                    close(pair[i]);
                }
            }
        }
    };
    // No handler of ours may run in the helper, which shares our memory.
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const long helper =
        sharedClone(CLONE_VM | CLONE_FILES | CLONE_NEWUSER | CLONE_NEWNS |
                        (containment.network ? 0 : CLONE_NEWNET) | SIGCHLD,
                    prepared->stack + sizeof prepared->stack, prepare, prepared.get());
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (helper < 0) {
        closeAll();
        refused("user namespaces: " + errorText(static_cast<int>(-helper)));
        return;
    }
    // Its user is mapped onto ours: every id onto itself for the root user,
    // else our own user and group alone.
    const std::string at = "/proc/" + std::to_string(helper) + "/";
    const bool root = geteuid() == 0;
    const std::string uid = std::to_string(geteuid());
    const std::string gid = std::to_string(getegid());
    bool mapped = writeFile(at + "uid_map", root ? "0 0 4294967295" : uid + " " + uid + " 1");
    mapped = mapped && (root || writeFile(at + "setgroups", "deny"));
    mapped = mapped && writeFile(at + "gid_map", root ? "0 0 4294967295" : gid + " " + gid + " 1");
    const int mapError = errno;
    const char byte = mapped ? 'm' : 'n';
    [[maybe_unused]] const auto told = write(prepared->mapped[1], &byte, 1);
    while (waitpid(static_cast<pid_t>(helper), nullptr, __WALL) < 0 && errno == EINTR) {
    }
    closeAll();
    made.user = static_cast<int>(prepared->user);
    made.children = static_cast<int>(prepared->children);
    made.network = static_cast<int>(prepared->networkNamespace);
    made.mount = static_cast<int>(prepared->mount);
    if (!mapped || prepared->failed != nullptr) {
        // All or none.
        for (int* fd : {&made.user, &made.children, &made.network, &made.mount}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
        refused(!mapped ? "mapping its user: " + errorText(mapError)
                        : std::string(prepared->failed) + ": " +
                              errorText(static_cast<int>(prepared->error)));
        return;
    }
    made.report.inPlace.push_back("user namespace");
    if (!containment.network) {
        made.report.inPlace.push_back("network namespace");
    }
    made.report.inPlace.push_back("mount namespace");
}

std::string encodeSettings(const Containment& containment, const SharedNamespaces& namespaces) {
    std::string bytes;
    say(bytes, "contain", "1");
    say(bytes, "network", containment.network ? "1" : "0");
    // Which descriptors come with it, in this order.
    say(bytes, "user", namespaces.user >= 0 ? "1" : "0");
    say(bytes, "children", namespaces.children >= 0 ? "1" : "0");
    say(bytes, "net", namespaces.network >= 0 ? "1" : "0");
    say(bytes, "mount", namespaces.mount >= 0 ? "1" : "0");
    for (const auto& folder : containment.writable) {
        say(bytes, "writable", folder.string());
    }
    return bytes;
}

std::vector<sock_filter> serverFilter(const Containment& containment,
                                      const SharedNamespaces& namespaces, pid_t server) {
    // Without the signal scope, each child makes its own, for its own pid.
    if (!landlockLevel().scope()) {
        return {};
    }
    FilterRules rules;
    rules.parent = server;
    rules.network = containment.network;
    rules.networkNamespace = namespaces.network >= 0;
    rules.machine = namespaces.user < 0;
    return filterProgram(rules);
}

std::string encodeReport(const ContainmentReport& report) {
    std::string bytes;
    for (const auto& part : report.inPlace) {
        say(bytes, "in", part);
    }
    for (const auto& part : report.missing) {
        say(bytes, "missing", part);
    }
    if (!report.why.empty()) {
        say(bytes, "why", report.why);
    }
    return bytes;
}

ContainmentReport decodeReport(const std::string& bytes) {
    ContainmentReport report;
    std::istringstream lines(bytes);
    for (std::string line; std::getline(lines, line);) {
        const auto space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "in") {
            report.inPlace.push_back(value);
        } else if (key == "missing") {
            report.missing.push_back(value);
        } else if (key == "why") {
            report.why = value;
        }
    }
    return report;
}

// ---- the server --------------------------------------------------------------

namespace {
// The name of the file a child was given, in its folder.
constexpr const char* kSharedName = ".plugin-host-report";
}  // namespace

namespace {

bool confinedCapabilities = false;  // set in a child that entered its user namespace

// A child in its own user namespace holds no right to raise its priority, so
// a plugin that lowers it, as it may, could not put it back where it was:
// RLIMIT_NICE lets a process without that right go back up, as far as the
// limit says. Raised here, while we are still in the machine's own user
// namespace, to our own priority and no further; a user who may not raise
// it could not put a priority back before either.
void letChildrenPutTheirPriorityBack() {
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    rlimit limit{};
    if (errno != 0 || getrlimit(RLIMIT_NICE, &limit) != 0) {
        return;
    }
    const auto wanted = static_cast<rlim_t>(20 - nice);
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        limit.rlim_cur = wanted;
        limit.rlim_max =
            limit.rlim_max == RLIM_INFINITY ? limit.rlim_max : std::max(limit.rlim_max, wanted);
        setrlimit(RLIMIT_NICE, &limit);
    }
}

}  // namespace

bool capabilitiesConfined() {
    return confinedCapabilities;
}

Jail::Jail(const std::string& settings, const std::vector<int>& descriptors,
           const std::vector<sock_filter>& filter) {
    std::vector<int> fds = descriptors;
    std::istringstream lines(settings);
    for (std::string line; std::getline(lines, line);) {
        const auto space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "contain") {
            contain_ = value == "1";
        } else if (key == "network") {
            network_ = value == "1";
        } else if (key == "writable") {
            writable_.push_back(value);
        }
    }
    if (!contain_) {
        return;
    }
    folders_ = std::string(kTestFolders) + "/plugin-host-" + std::to_string(getpid()) + "-";
    if (fds.size() >= 3) {
        letChildrenPutTheirPriorityBack();
        join(fds);
    }
    for (const int fd : fds) {
        if (fd >= 0 && fd != childUserNamespace_) {
            close(fd);
        }
    }
    confine(filter);
}

Jail::~Jail() {
    if (childUserNamespace_ >= 0) {
        close(childUserNamespace_);
    }
}

void Jail::missing(const char* part, const std::string& why) {
    report_.missing.push_back(part);
    if (report_.why.empty()) {
        report_.why = why;
    }
}

void Jail::join(const std::vector<int>& descriptors) {
    // user, children, [network], mount
    const int user = descriptors.front();
    const int children = descriptors[1];
    const int mount = descriptors.back();
    const int network = descriptors.size() == 4 ? descriptors[2] : -1;
    char here[4096];
    const std::string workingDirectory = getcwd(here, sizeof here) != nullptr ? here : "/";
    // Root in the user namespace the run made for us, over what it owns.
    if (setns(user, CLONE_NEWUSER) != 0) {
        missing("user namespace", "joining the user namespace: " + errorText(errno));
        return;
    }
    if (network >= 0) {
        networkNamespace_ = setns(network, CLONE_NEWNET) == 0;
        if (!networkNamespace_) {
            missing("network namespace", "joining the network namespace: " + errorText(errno));
        }
    }
    // A mount namespace puts us at its root: back where we were started.
    mountNamespace_ = setns(mount, CLONE_NEWNS) == 0;
    if (!mountNamespace_) {
        missing("mount namespace", "joining the mount namespace: " + errorText(errno));
        return;
    }
    if (chdir(workingDirectory.c_str()) != 0 && chdir("/") != 0) {
        missing("mount namespace", "the working directory: " + errorText(errno));
        return;
    }
    childUserNamespace_ = children;
    folders_ = std::string(kTestFolders) + "/";
    // Each child makes its own; tried here once, on us, which use none.
    ipcNamespace_ = unshare(CLONE_NEWIPC) == 0;
    if (ipcNamespace_) {
        report_.inPlace.push_back("ipc namespace");
    } else {
        missing("ipc namespace", "ipc namespace: " + errorText(errno));
    }
}

void Jail::confine(const std::vector<sock_filter>& filter) {
    const LandlockLevel level = landlockLevel();
    landlock_ = level.files();
    const std::string abi = "Landlock ABI " + std::to_string(level.abi) + " on this kernel";
    if (landlock_) {
        places_ = std::make_unique<WritablePlaces>(writable_);
        report_.inPlace.push_back("Landlock file rules");
    } else {
        missing("Landlock file rules", abi);
    }
    if (level.scope()) {
        report_.inPlace.push_back("Landlock signal scope");
    } else {
        missing("Landlock signal scope", abi + "; the scope needs ABI 6");
    }
    // Without the scope, the filter keeps a child's signals and traces to
    // itself, by its own pid: each child makes its own.
    ownFilter_ = !level.scope();
    try {
        if (ownFilter_) {
            filterProgram({getpid(), network_, networkNamespace_, getpid(),
                           childUserNamespace_ < 0});  // a probe: it can be made
        } else if (filter.empty() || !installFilter(filter)) {
            // The same for every child: in force here, so that each inherits
            // it with the fork. This server does none of what it refuses.
            throw ProcessError("the seccomp filter: " + errorText(filter.empty() ? EINVAL : errno));
        }
        report_.inPlace.push_back("seccomp filter");
    } catch (const ProcessError& error) {
        missing("seccomp filter", error.what());
    }
}

std::optional<Jail::Folder> Jail::folder(int* shared, std::string& error) {
    if (!contain_) {
        return std::nullopt;
    }
    static unsigned made = 0;
    Folder folder;
    folder.path = folders_ + std::to_string(++made);
    if (mkdir(folder.path.c_str(), 0700) != 0) {
        error = "its own folder " + folder.path + ": " + errorText(errno);
        return std::nullopt;
    }
    if (shared != nullptr) {
        folder.shared = folder.path + "/" + kSharedName;
        *shared = open(folder.shared.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
        if (*shared < 0) {
            error = "its report file: " + errorText(errno);
            remove(folder);
            return std::nullopt;
        }
    }
    return folder;
}

void Jail::remove(const Folder& folder) const {
    std::error_code ignored;
    std::filesystem::remove_all(folder.path, ignored);
}

bool Jail::enter(const Folder* folder, std::vector<std::string>& arguments,
                 std::string& error) const {
    if (!contain_ || folder == nullptr) {
        return true;
    }
    const auto failed = [&error](const char* what) {
        error = std::string(what) + ": " + errorText(errno);
        return false;
    };
    // Root there, or the user that started the run, with no capability over
    // what the server's namespace owns.
    if (childUserNamespace_ >= 0) {
        if (setns(childUserNamespace_, CLONE_NEWUSER) != 0) {
            return failed("the children's user namespace");
        }
        confinedCapabilities = true;
    }
    if (ipcNamespace_ && unshare(CLONE_NEWIPC) != 0) {
        return failed("an ipc namespace of its own");
    }
    if (landlock_ && !process::confine(*places_, folder->path)) {
        return failed("its Landlock domain");
    }
    if (ownFilter_) {
        try {
            if (!installFilter(filterProgram(
                    {getppid(), network_, networkNamespace_, getpid(), childUserNamespace_ < 0}))) {
                return failed("the seccomp filter");
            }
        } catch (const ProcessError& made) {
            error = made.what();
            return false;
        }
    }
    setenv("TMPDIR", folder->path.c_str(), 1);
    for (auto& argument : arguments) {
        if (argument == kSharedFileArgument) {
            argument = folder->shared;
        }
    }
    return true;
}

}  // namespace process
