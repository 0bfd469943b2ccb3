#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "capture_buffer.h"
#include "child_posix.h"
#include "process/process.h"

extern char** environ;

namespace process {

namespace {

// The processes that may be our children: what the kernel lists as each
// thread's children, else every process there is.
std::vector<pid_t> candidates() {
    std::vector<pid_t> pids;
    std::error_code error;
    bool listed = false;
    for (std::filesystem::directory_iterator task("/proc/self/task", error), end;
         !error && task != end; task.increment(error)) {
        std::ifstream children(task->path() / "children");
        listed = listed || children.is_open();
        for (long pid = 0; children >> pid;) {
            pids.push_back(static_cast<pid_t>(pid));
        }
    }
    if (listed) {
        return pids;
    }
    for (std::filesystem::directory_iterator entry("/proc", error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos) {
            pids.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return pids;
}

// This process's children that no run() is waiting for: orphans of our
// children's, handed to us as their subreaper. `ending` tells whether one
// was still on its way out, and may yet hand us children of its own.
std::vector<pid_t> orphans(bool& ending) {
    std::vector<pid_t> found;
    const std::string self = std::to_string(getpid());
    for (const pid_t pid : candidates()) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        std::getline(stat, line);
        // pid (comm) state ppid ...: the name may hold anything, even ") ".
        const auto close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(line.substr(close + 1));
        std::string state;
        std::string parent;
        long skipped = 0;
        unsigned long flags = 0;
        fields >> state >> parent >> skipped >> skipped >> skipped >> skipped >> flags;
        if (parent != self || isRunning(pid)) {
            continue;
        }
        constexpr unsigned long kExiting = 0x4;  // the kernel's PF_EXITING
        if (state == "Z" || (flags & kExiting) != 0) {
            // Already ending (killed with its group, say) and only handed to
            // us to reap: nothing left running.
            ending = ending || state != "Z";
            waitpid(pid, nullptr, WNOHANG);
            continue;
        }
        found.push_back(pid);
    }
    return found;
}

// The mark in `pid`'s environment; empty when it has none that can be read.
std::string markOf(pid_t pid) {
    std::ifstream environment("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    for (std::string entry; std::getline(environment, entry, '\0');) {
        if (entry.rfind(kRunMark, 0) == 0) {
            return entry.substr(std::strlen(kRunMark));
        }
    }
    return {};
}

}  // namespace

void adoptOrphans() {
    static const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    static_cast<void>(subreaper);
}

std::vector<std::string> endStrays() {
    std::vector<std::string> ended;
    for (bool again = true; again;) {
        bool ending = false;
        bool any = false;
        for (const pid_t orphan : orphans(ending)) {
            const std::string mark = markOf(orphan);
            // One that has gone since the scan (a child of a run() reaped
            // meanwhile) was never a stray.
            if (kill(orphan, SIGKILL) == 0) {
                waitpid(orphan, nullptr, 0);
                any = true;
                if (std::find(ended.begin(), ended.end(), mark) == ended.end()) {
                    ended.push_back(mark);
                }
            }
        }
        // Whatever was killed or was ending may have handed us its children.
        again = any || ending;
        if (again) {
            usleep(1000);
        }
    }
    return ended;
}

Termination run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                const Redirect& redirect, const Watchdog& watchdog) {
    // Orphans of our children come to us, so that we can reap them and tell
    // a process that still runs from one that has only not been reaped.
    adoptOrphans();

    const std::string programText = program.string();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(programText.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    ChildStreams streams(redirect);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int stream = 0; stream < 3; ++stream) {
        if (streams.given(stream) != stream) {
            posix_spawn_file_actions_adddup2(&actions, streams.given(stream), stream);
        }
    }
    // Nothing but the three standard streams: a descriptor another thread
    // has open at this moment is not the child's to write into.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A session of its own, and with it a process group: no controlling
    // terminal, so nothing the child does can reach the user's terminal or
    // be stopped by its job control (SIGTTIN, SIGTTOU).
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    // The child's own environment carries its mark.
    const std::string mark = newRunMark();
    std::vector<std::string> environment = environmentWith(mark);
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    // The child's own start counts from before it is started.
    const StallDetector stall(watchdog);
    int error = 0;
    const pid_t pid = startRegistered([&] {
        pid_t started = 0;
        error = posix_spawn(&started, programText.c_str(), &actions, &attributes, argv.data(),
                            envp.data());
        return error == 0 ? started : -1;
    });
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    streams.started();
    if (error != 0) {
        throw ProcessError(programText + ": " + std::strerror(error));
    }
    // Readable the moment the child ends, so that its end is seen at once.
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    Termination termination;
    try {
        termination = watch(
            pid, [pid](int& status) { return waitpid(pid, &status, WNOHANG | WUNTRACED); }, &ended,
            streams, redirect, watchdog, stall, mark);
    } catch (...) {
        if (ended >= 0) {
            ::close(ended);
        }
        throw;
    }
    if (ended >= 0) {
        ::close(ended);
    }
    return termination;
}

std::optional<std::string> readStandardInput(std::size_t limit) {
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got == 0) {
            return bytes;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 || bytes.size() + static_cast<std::size_t>(got) > limit) {
            return std::nullopt;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

bool createEmptyFile(const std::filesystem::path& path) {
    // A file the user asked for: the umask decides who else may read it.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

std::filesystem::path currentExecutable() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

std::vector<std::string> arguments(int argc, char** argv) {
    return {argv, argv + argc};
}

std::size_t runningThreads(bool) {
    // The kernel's list read bare: each unload reads it, and a directory
    // iterator's own system calls would be most of the cost.
    const int task = ::open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::size_t count = 0;
    alignas(dirent64) char entries[16384];
    for (long got = 0;
         task >= 0 && (got = syscall(SYS_getdents64, task, entries, sizeof entries)) > 0;) {
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            count += entry->d_name[0] != '.' ? 1 : 0;
            at += entry->d_reclen;
        }
    }
    if (task >= 0) {
        ::close(task);
    }
    return count;
}

struct OwnOutputCapture::State {
    int saved[2] = {-1, -1};
    struct stat identity[2] = {};    // of each saved descriptor's file
    int access[2] = {-1, -1};        // and how it is open (O_ACCMODE)
    struct sigaction brokenPipe {};  // as it was before the capture
    Pipe pipes[2];
    Capture captured[2];
    std::atomic<bool> stopping{false};
    std::thread reader;
};

OwnOutputCapture::State* OwnOutputCapture::active_ = nullptr;

OwnOutputCapture::OwnOutputCapture() : state_(new State) {
    active_ = state_;
    // A plugin may close the pipes' reading ends: a write into them then
    // fails, rather than ending plugin-host with SIGPIPE.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &state_->brokenPipe);
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    for (int i = 0; i < 2; ++i) {
        const int fd = i == 0 ? STDOUT_FILENO : STDERR_FILENO;
        state_->saved[i] = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        fstat(state_->saved[i], &state_->identity[i]);
        state_->access[i] = fcntl(state_->saved[i], F_GETFL) & O_ACCMODE;
        dup2(state_->pipes[i].write, fd);
        state_->pipes[i].closeWrite();
    }
    state_->reader = std::thread([state = state_] {
        Pipe* pipes[2] = {&state->pipes[0], &state->pipes[1]};
        Capture* into[2] = {&state->captured[0], &state->captured[1]};
        // A copy of a write end that the plugin made, or left to a thread of
        // its own, keeps its pipe open: after stop() it gets a moment, not
        // for ever.
        int after = 0;
        while ((pipes[0]->read >= 0 || pipes[1]->read >= 0) && after < 20) {
            pump(pipes, into, 10);
            after += state->stopping ? 1 : 0;
        }
    });
}

std::pair<Captured, Captured> OwnOutputCapture::stop() {
    if (state_ == nullptr) {
        return {};
    }
    std::cout.flush();
    std::cerr.flush();
    std::fflush(nullptr);
    state_->stopping = true;
    // Our copies of the write ends go; the reader then sees the end of both.
    for (int i = 0; i < 2; ++i) {
        const int fd = i == 0 ? STDOUT_FILENO : STDERR_FILENO;
        // A saved descriptor the plugin closed cannot be had back: rather
        // nowhere than a pipe nobody reads, whose next write kills us.
        if (dup2(state_->saved[i], fd) < 0) {
            const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            dup2(null, fd);
            ::close(null);
        }
        ::close(state_->saved[i]);
    }
    state_->reader.join();
    std::pair<Captured, Captured> result{state_->captured[0].captured(),
                                         state_->captured[1].captured()};
    sigaction(SIGPIPE, &state_->brokenPipe, nullptr);
    active_ = nullptr;
    delete state_;
    state_ = nullptr;
    return result;
}

void OwnOutputCapture::releaseForExit() noexcept {
    if (State* state = active_) {
        for (int i = 0; i < 2; ++i) {
            dup2(state->saved[i], i == 0 ? STDOUT_FILENO : STDERR_FILENO);
        }
    }
}

std::string OwnOutputCapture::taken(bool thorough) const {
    constexpr const char* kNames[2] = {"standard output", "standard error"};
    for (int i = 0; state_ != nullptr && i < 2; ++i) {
        const int flags = fcntl(state_->saved[i], F_GETFL);
        if (flags < 0) {
            return std::string("closed plugin-host's ") + kNames[i];
        }
        struct stat now {};
        // Only how it is open: its other flags are the caller's open file's,
        // which the plugin may change through another descriptor.
        if ((flags & O_ACCMODE) != state_->access[i] ||
            (thorough &&
             (fstat(state_->saved[i], &now) != 0 || now.st_dev != state_->identity[i].st_dev ||
              now.st_ino != state_->identity[i].st_ino))) {
            return std::string("put another file in the place of plugin-host's ") + kNames[i];
        }
    }
    return {};
}

OwnOutputCapture::~OwnOutputCapture() {
    stop();
}

long peakResidentKiB() {
    // The high-water mark of this program image only; getrusage would also
    // count whatever the parent had mapped when it started us.
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

long openDescriptors() {
    long count = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator entry("/proc/self/fd", error), end;
         !error && entry != end; entry.increment(error)) {
        ++count;
    }
    return count > 0 ? count - 1 : 0;  // less the one that reads the folder
}

Memory memoryNow() {
    Memory memory;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            memory.residentKiB = std::stol(line.substr(6));
        } else if (line.rfind("VmData:", 0) == 0) {
            memory.allocatedKiB = std::stol(line.substr(7));
        }
    }
    return memory;
}

void endWithParent() {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

void endQuietlyOnCrash() {
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
}

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
// Made whole beforehand, as a signal handler may only write, and never
// destroyed: what crashes at exit crashes after static destructors.
std::string* crashLines = nullptr;
int crashExitCode = 1;

void reportCrash(int signal) {
    for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
        if (kCrashSignals[i] == signal) {
            const std::string& line = crashLines[i];
            [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line.data(), line.size());
        }
    }
    _exit(crashExitCode);
}

// What each signal an announced crash can end in is called, made before any
// crash: strsignal may not be called in one.
constexpr int kAnnouncedSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP, SIGSYS};
std::string* announcedNames = nullptr;
CrashLine announcedLine = nullptr;

void announceCrash(int signal, siginfo_t* info, void*) {
    for (std::size_t i = 0; i < std::size(kAnnouncedSignals); ++i) {
        if (kAnnouncedSignals[i] == signal) {
            char line[2048];
            std::size_t size = announcedLine(announcedNames[i].c_str(), line, sizeof line - 1);
            line[size++] = '\n';
            OwnOutputCapture::releaseForExit();
            [[maybe_unused]] const auto written = ::write(STDERR_FILENO, line, size);
        }
    }
    // The handler is gone (SA_RESETHAND): a fault comes again as the
    // faulting instruction runs again, and ends the process there, with the
    // kernel's own account of it. A trap does not come again (the code runs
    // on past a breakpoint, or past the system call a seccomp filter
    // refused), and a signal sent does not: each is raised once more, and
    // ends the process when this handler returns.
    const bool repeats = info->si_code > 0 && signal != SIGTRAP && signal != SIGSYS;
    if (!repeats) {
        raise(signal);
    }
}

}  // namespace

void announceCrashes(CrashLine line) {
    if (announcedNames == nullptr) {
        announcedNames = new std::string[std::size(kAnnouncedSignals)];
    }
    announcedLine = line;
    for (std::size_t i = 0; i < std::size(kAnnouncedSignals); ++i) {
        const int signal = kAnnouncedSignals[i];
        announcedNames[i] = "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
        struct sigaction action {};
        action.sa_sigaction = announceCrash;
        action.sa_flags = SA_SIGINFO | SA_RESETHAND;
        if (line == nullptr) {
            action.sa_handler = SIG_DFL;
            action.sa_flags = 0;
        }
        sigaction(signal, &action, nullptr);
    }
}

void reportCrashesFromNowOn(const std::string& before, const std::string& after, int exitCode) {
    crashExitCode = exitCode;
    crashLines = new std::string[std::size(kCrashSignals)];
    for (std::size_t i = 0; i < std::size(kCrashSignals); ++i) {
        const int signal = kCrashSignals[i];
        crashLines[i] = before + "signal " + std::to_string(signal) + " (" + strsignal(signal) +
                        ")" + after + "\n";
        struct sigaction action {};
        action.sa_handler = reportCrash;
        sigaction(signal, &action, nullptr);
    }
}

}  // namespace process
