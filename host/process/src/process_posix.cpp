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
#include "process/process.h"
#include "stall_detector.h"

extern char** environ;

namespace process {

namespace {

// Both ends close on exec; the child gets its end through dup2, which does not
// carry the flag over.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            throw ProcessError(std::string("cannot make a pipe: ") + std::strerror(errno));
        }
        read = ends[0];
        write = ends[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0) {
            ::close(read);
            read = -1;
        }
    }
    void closeWrite() {
        if (write >= 0) {
            ::close(write);
            write = -1;
        }
    }
};

// Writes all of `bytes`; false, with errno, when the descriptor takes no more.
bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote > 0) {
            done += static_cast<std::size_t>(wrote);
        } else if (wrote < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Reads whatever the pipes hold now, waiting at most `timeoutMs` for the
// first byte; a pipe whose writers are all gone is closed.
void pump(Pipe* pipes[2], Capture* into[2], int timeoutMs) {
    pollfd fds[2];
    int count = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
        if (pipes[i] != nullptr && pipes[i]->read >= 0) {
            fds[count] = pollfd{pipes[i]->read, POLLIN, 0};
            which[count++] = i;
        }
    }
    if (count == 0) {
        // Nothing left to read: the child is ending, or writes nowhere we see.
        usleep(1000);
        return;
    }
    if (poll(fds, static_cast<nfds_t>(count), timeoutMs) <= 0) {
        return;
    }
    char buffer[65536];
    for (int k = 0; k < count; ++k) {
        if ((fds[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        const ssize_t got = ::read(fds[k].fd, buffer, sizeof buffer);
        if (got > 0) {
            into[which[k]]->take(buffer, static_cast<std::size_t>(got));
        } else if (got < 0 && errno == EBADF) {
            // Closed by a plugin: its number may be another file's by now.
            pipes[which[k]]->read = -1;
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            pipes[which[k]]->closeRead();
        }
    }
}

// The children run() is waiting for now, on any thread: orphans handed to us
// are every other child of ours.
std::mutex runningMutex;
std::set<pid_t> running;

// The name, in a child's environment, of the mark that tells whose test a
// process belongs to, whatever group or session it has moved to since.
constexpr const char* kRunMark = "PLUGIN_HOST_RUN=";

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
        std::lock_guard<std::mutex> lock(runningMutex);
        if (parent != self || running.count(pid) != 0) {
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

// Ends what is left of the child's process group, reaping what was handed to
// us; true when something was still running.
bool endGroup(pid_t group) {
    int status = 0;
    while (waitpid(-group, &status, WNOHANG) > 0) {
    }
    if (kill(-group, 0) != 0) {
        return false;
    }
    kill(-group, SIGKILL);
    // Reap the ones that became ours; the rest are reaped by their parents.
    for (int i = 0; i < 100 && kill(-group, 0) == 0; ++i) {
        while (waitpid(-group, &status, WNOHANG) > 0) {
        }
        usleep(1000);
    }
    return true;
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

    std::optional<Pipe> outPipe;
    std::optional<Pipe> errPipe;
    std::optional<Pipe> inPipe;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (redirect.standardInput) {
        // Written whole and closed before the child starts: the child reads
        // it to its end, and no one else ever holds the pipe.
        if (redirect.standardInput->size() > kInputLimit) {
            throw ProcessError("more input than a pipe holds before its reader starts");
        }
        inPipe.emplace();
        if (!writeAll(inPipe->write, *redirect.standardInput)) {
            throw ProcessError(std::string("cannot give the child its input: ") +
                               std::strerror(errno));
        }
        inPipe->closeWrite();
        posix_spawn_file_actions_adddup2(&actions, inPipe->read, STDIN_FILENO);
    }
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    if (redirect.capture) {
        outPipe.emplace();
        errPipe.emplace();
        posix_spawn_file_actions_adddup2(&actions, outPipe->write, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errPipe->write, STDERR_FILENO);
    } else {
        if (!redirect.standardOutput.empty()) {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO,
                                             redirect.standardOutput.c_str(), flags, 0644);
        }
        if (!redirect.standardError.empty()) {
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO,
                                             redirect.standardError.c_str(), flags, 0644);
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
    // The child's own environment carries its mark, set once it has a pid:
    // a placeholder of the right length now, filled in below.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, kRunMark, std::strlen(kRunMark)) != 0) {
            environment.emplace_back(*entry);
        }
    }
    // The child's own start counts from before it is started.
    const StallDetector stall(watchdog);
    pid_t pid = 0;
    int error = 0;
    std::string runMark;
    {
        // Registered before it can leave orphans, so that none is taken for one.
        std::lock_guard<std::mutex> lock(runningMutex);
        static std::atomic<int> runs{0};
        // The mark is this plugin-host's pid and a run number: unique before
        // the child's pid is known.
        const std::string mark =
            std::string(kRunMark) + std::to_string(getpid()) + "." + std::to_string(++runs);
        environment.push_back(mark);
        runMark = mark.substr(std::strlen(kRunMark));
        std::vector<char*> envp;
        for (auto& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        error =
            posix_spawn(&pid, programText.c_str(), &actions, &attributes, argv.data(), envp.data());
        if (error == 0) {
            running.insert(pid);
        }
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (inPipe) {
        inPipe->closeRead();
    }
    if (error != 0) {
        throw ProcessError(programText + ": " + std::strerror(error));
    }

    Termination termination;
    termination.mark = runMark;
    Pipe* pipes[2] = {nullptr, nullptr};
    Capture outCapture(redirect.captureLimit);
    Capture errCapture(redirect.captureLimit, redirect.soughtInError);
    Capture* into[2] = {&outCapture, &errCapture};
    if (redirect.capture) {
        outPipe->closeWrite();
        errPipe->closeWrite();
        pipes[0] = &*outPipe;
        pipes[1] = &*errPipe;
    }
    bool watching = stall.active();
    int status = 0;
    int stoppedBy = 0;
    for (;;) {
        const pid_t ended = waitpid(pid, &status, WNOHANG | WUNTRACED);
        if (ended == pid && WIFSTOPPED(status)) {
            // Nobody here will continue it: waiting would only wait out the
            // limit. It ends now, and says why.
            stoppedBy = stoppedBy != 0 ? stoppedBy : WSTOPSIG(status);
            kill(pid, SIGKILL);
            watching = false;
            continue;
        }
        if (ended == pid) {
            break;
        }
        if (ended < 0 && errno != EINTR) {
            throw ProcessError(std::string("waiting for the child: ") + std::strerror(errno));
        }
        if (watching && stall.stalled()) {
            // SIGKILL: the one signal a plugin can neither catch, block nor ignore.
            kill(pid, SIGKILL);
            termination.timedOut = true;
            watching = false;
        }
        pump(pipes, into, 10);
    }
    {
        std::lock_guard<std::mutex> lock(runningMutex);
        running.erase(pid);
    }
    termination.leftProcesses = endGroup(pid);
    // What is left in the pipes; a writer that escaped the group does not
    // get to keep us waiting.
    for (int i = 0; i < 50 && pipes[0] != nullptr && (pipes[0]->read >= 0 || pipes[1]->read >= 0);
         ++i) {
        pump(pipes, into, 10);
    }
    termination.standardOutput = outCapture.captured();
    termination.standardError = errCapture.captured();

    if (stoppedBy != 0 && !termination.timedOut) {
        termination.crashed = true;
        termination.stopped = true;
        termination.exitCode = 128 + SIGKILL;
        termination.description =
            "signal " + std::to_string(stoppedBy) + " (" + strsignal(stoppedBy) + ")";
    } else if (termination.timedOut) {
        termination.exitCode = 128 + SIGKILL;
        termination.description =
            "killed after " + std::to_string(watchdog.limit.count()) + " ms without progress";
    } else if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        termination.crashed = true;
        termination.exitCode = 128 + signal;
        termination.description =
            "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
    } else {
        termination.exitCode = WEXITSTATUS(status);
        termination.description = "exit code " + std::to_string(termination.exitCode);
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
    // The handler is gone (SA_RESETHAND): a fault comes again as the code
    // runs on, and ends the process there; a signal sent must be sent again.
    if (info->si_code <= 0) {
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
