// The fork server: a copy of this program that has done all of its own
// starting (the dynamic linker, the C++ runtime, the static initialisers)
// and nothing else, started with the first child runThisProgram asks for.
// For each child it forks a copy of itself, which begins at once, where
// starting a process afresh costs milliseconds.
//
// A process that forks must hold one thread, or a lock another thread held
// stays locked in the copy: the server never starts a thread, and checks
// that it holds only its own before each fork. Its children's endings reach
// the process that asked through a channel of each child's own; a child is
// killed by that process directly. When that process ends, so does the
// server (its channel closes), and with it every child it forked (each
// child's parent-death signal).
//
// Contained (contain()), the server runs in a user and pid namespace of its
// own, and each child in namespaces of its own test's (containment_linux).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "child_posix.h"
#include "containment_linux.h"
#include "process/containment.h"
#include "process/process.h"

extern char** environ;

namespace process {

namespace {

constexpr const char* kForkServerOption = "--fork-server";
// The server's end of its channel, in the server.
constexpr int kControl = 3;
// What the server says on a child's channel: first its pid (or, at or below
// 0, why it could not fork one: an errno, negated, and a text), then each of
// its wait statuses up to the last.
using Word = int;

// One request, as the server reads it: whether the child is given a file
// ("1" or "0"), the child's arguments and the mark of its run,
// NUL-separated, after the arguments' count; with four descriptors: the
// channel to answer on, and the child's three standard streams.
std::string encode(bool shared, const std::vector<std::string>& arguments,
                   const std::string& mark) {
    std::string message = shared ? "1" : "0";
    message += '\0';
    message += std::to_string(arguments.size());
    message += '\0';
    for (const auto& argument : arguments) {
        message += argument;
        message += '\0';
    }
    return message + mark;
}

// The server's environment holds a mark whose value is a placeholder this
// long, which each child overwrites with its own where the environment was
// given at the server's start: the one place a process's environment shows
// to others (/proc/PID/environ), and what every process the child forks
// takes with it.
constexpr std::size_t kMarkRoom = 24;

bool sendBytes(int socket, const void* bytes, std::size_t size) {
    ssize_t sent = 0;
    do {
        sent = send(socket, bytes, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(size);
}

bool sendWithDescriptors(int socket, const std::string& bytes, const std::vector<int>& fds) {
    if (fds.empty()) {
        return sendBytes(socket, bytes.data(), bytes.size());
    }
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = CMSG_SPACE(fds.size() * sizeof(int));
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(fds.size() * sizeof(int));
    std::memcpy(CMSG_DATA(header), fds.data(), fds.size() * sizeof(int));
    ssize_t sent = 0;
    do {
        sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(bytes.size());
}

std::string word(Word value) {
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

bool sendWord(int socket, Word value, const std::string& why = {}) {
    const std::string bytes = word(value) + why;
    return sendBytes(socket, bytes.data(), bytes.size());
}

// One whole message, however long, and the descriptors it carries (at most
// four; closed when not asked for); nothing once the other end has gone.
std::optional<std::string> receiveMessage(int socket, std::vector<int>* descriptors = nullptr) {
    ssize_t size = 0;
    do {
        size = recv(socket, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    } while (size < 0 && errno == EINTR);
    if (size <= 0) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size), '\0');
    iovec data{bytes.data(), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got = 0;
    do {
        got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    std::vector<int> received;
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (got >= 0 && header != nullptr && header->cmsg_type == SCM_RIGHTS &&
        header->cmsg_len > CMSG_LEN(0)) {
        received.resize((header->cmsg_len - CMSG_LEN(0)) / sizeof(int));
        std::memcpy(received.data(), CMSG_DATA(header), received.size() * sizeof(int));
    }
    if (descriptors != nullptr) {
        *descriptors = received;
    } else {
        for (const int fd : received) {
            close(fd);
        }
    }
    if (got != size) {
        return std::nullopt;
    }
    return bytes;
}

// ---- the server ----------------------------------------------------------

struct Request {
    std::vector<std::string> arguments;
    std::string mark;
    bool shared = false;            // a file is made for it
    int fds[4] = {-1, -1, -1, -1};  // channel, standard input, output, error
};

// The next request; nothing once the asking process has gone (or sent what
// is no request, which it never does).
std::optional<Request> receive() {
    std::vector<int> fds;
    const std::optional<std::string> message = receiveMessage(kControl, &fds);
    if (!message || fds.size() != 4) {
        for (const int fd : fds) {
            close(fd);
        }
        return std::nullopt;
    }
    const std::string& bytes = *message;
    Request request;
    std::copy(fds.begin(), fds.end(), request.fds);
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = bytes.find('\0', at);
        fields.push_back(bytes.substr(at, end - at));
        at = end == std::string::npos ? bytes.size() : end + 1;
    }
    const std::size_t count = fields.size() < 2 ? 0 : std::strtoul(fields[1].c_str(), nullptr, 10);
    if (fields.size() != count + 3 || fields.back().size() > kMarkRoom) {
        return std::nullopt;
    }
    request.shared = fields[0] == "1";
    request.arguments.assign(fields.begin() + 2, fields.end() - 1);
    request.mark = fields.back();
    return request;
}

// In the child, just forked: it enters its containment, what the server
// holds for itself goes, the child is put where a child started afresh would
// be, and it runs.
[[noreturn]] void becomeChild(Request& request, pid_t server, const sigset_t& mask,
                              ProgramEntry entry, const Jail& jail, const Jail::Folder* folder) {
    const auto cannotBegin = [&request](const std::string& why) {
        const std::string line = why + "\n";
        [[maybe_unused]] const auto written = write(request.fds[3], line.data(), line.size());
        _exit(kCannotContainExitCode);
    };
    // Ended when the server ends, as the server ends with the one who asked;
    // a server that ended before the child could tell that is no doing of
    // the child's.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != server) {
        cannotBegin("its fork server ended as it began");
    }
    std::string error;
    if (!jail.enter(folder, request.arguments, error)) {
        cannotBegin("cannot contain the child: " + error);
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    // A session of its own, and with it a process group, with no terminal.
    setsid();
    for (int stream = 0; stream < 3; ++stream) {
        dup2(request.fds[stream + 1], stream);
    }
    // Nothing but the three standard streams.
    closefrom(3);
    // Its mark, in the server's own environment block.
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::strncmp(*variable, kRunMark, std::strlen(kRunMark)) == 0) {
            char* value = *variable + std::strlen(kRunMark);
            std::memset(value, '\0', std::strlen(value));
            std::memcpy(value, request.mark.data(), request.mark.size());
        }
    }
    std::exit(entry(request.arguments));
}

// A child the server forked, until it has said its last.
struct Child {
    int channel = -1;
    std::optional<Jail::Folder> folder;  // its test's own, when contained
};

int serve(ProgramEntry entry) {
    // A child gets the signal mask a fresh process has, whatever ours was
    // when we were started.
    sigset_t mask;
    sigemptyset(&mask);
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGCHLD);
    sigprocmask(SIG_SETMASK, &watched, nullptr);
    const int ended = signalfd(-1, &watched, SFD_CLOEXEC | SFD_NONBLOCK);
    if (ended < 0) {
        return 125;
    }
    // What the one who asked wants contained, before any child: the
    // settings, with the namespaces it made for us, and the seccomp filter.
    std::vector<int> namespaces;
    const std::optional<std::string> settings = receiveMessage(kControl, &namespaces);
    const std::optional<std::string> filter = receiveMessage(kControl);
    if (!settings || !filter) {
        return 0;
    }
    constexpr std::size_t kFilterWord = 6;  // "filter"
    std::vector<sock_filter> program((filter->size() - std::min(filter->size(), kFilterWord)) /
                                     sizeof(sock_filter));
    if (!program.empty()) {
        std::memcpy(program.data(), filter->data() + kFilterWord,
                    program.size() * sizeof(sock_filter));
    }
    std::optional<Jail> jail;
    try {
        jail.emplace(*settings, namespaces, program);
    } catch (const ProcessError& error) {
        ContainmentReport failed;
        failed.missing.push_back("containment");
        failed.why = error.what();
        sendBytes(kControl, encodeReport(failed).data(), encodeReport(failed).size());
        return 125;
    }
    const std::string report = encodeReport(jail->report()) + "end\n";
    if (!sendBytes(kControl, report.data(), report.size())) {
        return 0;
    }
    const pid_t server = getpid();
    std::map<pid_t, Child> children;
    for (;;) {
        pollfd watchedFds[2] = {{kControl, POLLIN, 0}, {ended, POLLIN, 0}};
        if (poll(watchedFds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 125;
        }
        if ((watchedFds[1].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            while (read(ended, &info, sizeof info) == sizeof info) {
            }
            int status = 0;
            for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG | WUNTRACED)) > 0;) {
                const auto child = children.find(pid);
                if (child == children.end()) {
                    continue;
                }
                if (WIFSTOPPED(status)) {
                    sendWord(child->second.channel, status);
                    continue;
                }
                if (child->second.folder) {
                    jail->remove(*child->second.folder);
                }
                sendWord(child->second.channel, status);
                close(child->second.channel);
                children.erase(child);
            }
        }
        if ((watchedFds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        std::optional<Request> request = receive();
        if (!request) {
            // The one who asked has gone: the children go with us, and what
            // they left in their folders with them.
            for (auto& [pid, child] : children) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                if (child.folder) {
                    jail->remove(*child.folder);
                }
            }
            return 0;
        }
        const int channel = request->fds[0];
        std::string why;
        int shared = -1;  // the child's file, when we made it
        std::optional<Jail::Folder> folder = jail->folder(request->shared ? &shared : nullptr, why);
        pid_t pid = -1;
        int forkError = EPERM;
        if (why.empty()) {
            // One thread, or a lock held elsewhere would stay locked in the copy.
            pid = runningThreads() == 1 ? ::fork() : -1;
            forkError = pid < 0 && runningThreads() == 1 ? errno : EDEADLK;
        }
        if (pid == 0) {
            becomeChild(*request, server, mask, entry, *jail, folder ? &*folder : nullptr);
        }
        for (int i = 1; i < 4; ++i) {
            close(request->fds[i]);
        }
        if (pid < 0) {
            if (shared >= 0) {
                close(shared);
            }
            if (folder) {
                jail->remove(*folder);
            }
            sendWord(channel, -forkError, why);
            close(channel);
            continue;
        }
        const bool told = shared >= 0 ? sendWithDescriptors(channel, word(pid), {shared})
                                      : sendWord(channel, pid);
        if (shared >= 0) {
            close(shared);
        }
        if (!told) {
            close(channel);
            continue;
        }
        children[pid] = Child{channel, std::move(folder)};
    }
}

// ---- the one who asks -----------------------------------------------------

class ForkServer {
public:
    static ForkServer& instance() {
        // Never destroyed: children may still be asked for during exit.
        static ForkServer* const server = new ForkServer;
        return *server;
    }

    // Children from now on are contained as `containment` says: a server
    // started for other settings is ended, and one for these started.
    ContainmentReport contain(const Containment& containment) {
        const std::lock_guard<std::mutex> one(mutex_);
        if (containment_ != containment) {
            end();
            containment_ = containment;
        }
        start();
        return report_;
    }

    bool contained() {
        const std::lock_guard<std::mutex> one(mutex_);
        return containment_.has_value();
    }

    // Asks for a child, whose server answers on `channel`, the other end of
    // `answers`, and lets go of `channel` once it is on its way; the child's
    // pid.
    pid_t fork(const std::vector<std::string>& arguments, const std::string& mark,
               const ChildStreams& streams, TemporaryFile* shared, int& channel, int answers) {
        const std::string request = encode(shared != nullptr, arguments, mark);
        const std::lock_guard<std::mutex> one(mutex_);
        const std::vector<int> fds{channel, streams.given(0), streams.given(1), streams.given(2)};
        // A server that has gone (a plugin can kill its parent) is started
        // again, once: it never answered this request.
        for (int attempt = 0;; ++attempt) {
            start();
            if (sendWithDescriptors(control_, request, fds)) {
                break;
            }
            if (attempt > 0) {
                throw ProcessError(std::string("cannot reach the fork server: ") +
                                   std::strerror(errno));
            }
            end();
        }
        // The request holds its own: should the server end before it
        // answers, the answers end too, and nobody waits for ever.
        close(channel);
        channel = -1;
        std::optional<std::string> answer;
        int made = -1;  // the file the server made for a contained child
        for (;;) {
            pollfd readable{answers, POLLIN, 0};
            if (::poll(&readable, 1, 100) > 0) {
                std::vector<int> descriptors;
                answer = receiveMessage(answers, &descriptors);
                made = descriptors.empty() ? -1 : descriptors.front();
                for (std::size_t i = 1; i < descriptors.size(); ++i) {
                    close(descriptors[i]);
                }
                break;
            }
            endIfStopped();
        }
        if (made >= 0) {
            if (shared != nullptr) {
                shared->adopt(made);
            } else {
                close(made);
            }
        }
        if (!answer || answer->size() < sizeof(Word)) {
            end();
            throw ProcessError("the fork server ended before it forked the child");
        }
        Word pid = 0;
        std::memcpy(&pid, answer->data(), sizeof pid);
        if (pid <= 0) {
            const std::string why = answer->substr(sizeof pid);
            throw ProcessError(std::string("the fork server cannot fork: ") +
                               (why.empty() ? std::strerror(-pid) : why));
        }
        return pid;
    }

    // A server that is stopped serves nobody and says nothing of the
    // children it holds: it is ended, and with it every child it forked.
    void endIfStopped() const {
        const pid_t pid = running_.load();
        siginfo_t info{};
        if (pid > 0 &&
            waitid(P_PID, static_cast<id_t>(pid), &info, WSTOPPED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            kill(pid, SIGKILL);
        }
    }

private:
    void start() {
        if (control_ >= 0) {
            return;
        }
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
            throw ProcessError(std::string("cannot make the fork server's channel: ") +
                               std::strerror(errno));
        }
        const std::string program = currentExecutable().string();
        char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(kForkServerOption),
                        nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int stream = 0; stream < 3; ++stream) {
            posix_spawn_file_actions_addopen(&actions, stream, "/dev/null",
                                             stream == 0 ? O_RDONLY : O_WRONLY, 0);
        }
        posix_spawn_file_actions_adddup2(&actions, ends[1], kControl);
        posix_spawn_file_actions_addclosefrom_np(&actions, kControl + 1);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        std::vector<std::string> environment = environmentWith(std::string(kMarkRoom, '-'));
        std::vector<char*> envp;
        for (auto& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
        int error = 0;
        // Ours, and so no stray for endStrays().
        pid_ = startRegistered([&] {
            pid_t started = 0;
            error =
                posix_spawn(&started, program.c_str(), &actions, &attributes, argv, envp.data());
            return error == 0 ? started : -1;
        });
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        close(ends[1]);
        if (error != 0) {
            close(ends[0]);
            throw ProcessError(std::string("cannot start the fork server: ") +
                               std::strerror(error));
        }
        control_ = ends[0];
        running_ = pid_;
        static const bool ended = std::atexit(stop) == 0;
        static_cast<void>(ended);
        // While the server starts, what it is to contain is made here: the
        // namespaces it joins and the seccomp filter it puts in force.
        SharedNamespaces namespaces;
        std::string settings = "contain 0\n";
        std::vector<sock_filter> filter;
        if (containment_) {
            makeSharedNamespaces(*containment_, namespaces);
            settings = encodeSettings(*containment_, namespaces);
            try {
                filter = serverFilter(*containment_, namespaces, pid_);
            } catch (const ProcessError&) {
                // The server says it is missing.
            }
        }
        // The filter after a word of its own: a message is never empty.
        std::string filtered = "filter";
        filtered.append(reinterpret_cast<const char*>(filter.data()),
                        filter.size() * sizeof(sock_filter));
        std::optional<std::string> answer;
        if (sendWithDescriptors(control_, settings, namespaces.descriptors()) &&
            sendBytes(control_, filtered.data(), filtered.size())) {
            answer = receiveMessage(control_);
        }
        if (!answer || answer->size() < 4 || answer->compare(answer->size() - 4, 4, "end\n") != 0) {
            const ContainmentReport failed = decodeReport(answer.value_or(""));
            end();
            throw ProcessError("cannot start the fork server" +
                               (failed.why.empty() ? std::string() : ": " + failed.why));
        }
        report_ = namespaces.report;
        const ContainmentReport server = decodeReport(*answer);
        report_.inPlace.insert(report_.inPlace.end(), server.inPlace.begin(), server.inPlace.end());
        for (const auto& part : server.missing) {
            // A namespace it could not join is not in place after all.
            report_.inPlace.erase(std::remove(report_.inPlace.begin(), report_.inPlace.end(), part),
                                  report_.inPlace.end());
            report_.missing.push_back(part);
        }
        if (report_.why.empty()) {
            report_.why = server.why;
        }
    }

    // The server sees its channel close and ends, and is reaped here, so
    // that no process of ours outlives us.
    void end() {
        if (control_ >= 0) {
            close(control_);
            control_ = -1;
            running_ = -1;
            waitpid(pid_, nullptr, 0);
            unregisterRunning(pid_);
        }
    }

    // At this process's end.
    static void stop() { instance().end(); }

    std::mutex mutex_;
    pid_t pid_ = -1;
    std::atomic<pid_t> running_{-1};  // for a look without the lock
    int control_ = -1;
    std::optional<Containment> containment_;
    ContainmentReport report_;
};

}  // namespace

ContainmentReport contain(const Containment& containment) {
    return ForkServer::instance().contain(containment);
}

bool sharedFileMadeWithChild() {
    return ForkServer::instance().contained();
}

std::filesystem::path sharedPath(const TemporaryFile& file) {
    return ForkServer::instance().contained() ? kSharedFileArgument : file.path();
}

Termination runThisProgram(const std::vector<std::string>& arguments, const Redirect& redirect,
                           const Watchdog& watchdog) {
    adoptOrphans();
    ChildStreams streams(redirect);
    const std::string mark = newRunMark();
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, channel) != 0) {
        throw ProcessError(std::string("cannot make a child's channel: ") + std::strerror(errno));
    }
    const int answers = channel[0];
    // The child's own start counts from before it is asked for.
    const StallDetector stall(watchdog);
    pid_t pid = -1;
    try {
        pid = ForkServer::instance().fork(arguments, mark, streams, redirect.shared, channel[1],
                                          answers);
    } catch (...) {
        if (channel[1] >= 0) {
            close(channel[1]);
        }
        close(answers);
        throw;
    }
    streams.started();
    // The server's word on the child, instead of waitpid: the child is its.
    // Should the server go, the child, killed with it, is handed to us, the
    // subreaper, and waited for here.
    bool serverGone = false;
    int news = answers;  // readable when the server says something
    const auto poll = [answers, pid, &serverGone, &news](int& status) -> pid_t {
        if (serverGone) {
            const pid_t ended = waitpid(pid, &status, WNOHANG | WUNTRACED);
            if (ended < 0 && errno == ECHILD) {
                if (kill(pid, 0) == 0 || errno != ESRCH) {
                    return 0;  // not handed to us yet
                }
                status = SIGKILL;  // gone, and its status with the server
                return pid;
            }
            return ended;
        }
        Word word = 0;
        const ssize_t got = recv(answers, &word, sizeof word, MSG_DONTWAIT);
        if (got == sizeof word) {
            status = word;
            return pid;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            ForkServer::instance().endIfStopped();
            return 0;
        }
        serverGone = true;
        news = -1;  // at its end for ever
        return 0;
    };
    Termination termination;
    try {
        termination = watch(pid, poll, &news, streams, redirect, watchdog, stall, mark);
    } catch (...) {
        close(answers);
        throw;
    }
    close(answers);
    return termination;
}

std::optional<int> serveForks(int argc, char** argv, ProgramEntry entry) {
    if (argc != 2 || std::strcmp(argv[1], kForkServerOption) != 0 || fcntl(kControl, F_GETFD) < 0) {
        return std::nullopt;
    }
    return serve(entry);
}

}  // namespace process
