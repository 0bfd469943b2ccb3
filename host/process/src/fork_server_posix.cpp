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

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "child_posix.h"
#include "process/process.h"

extern char** environ;

namespace process {

namespace {

constexpr const char* kForkServerOption = "--fork-server";
// The server's end of its channel, in the server.
constexpr int kControl = 3;
// What the server says on a child's channel: first its pid (or, at or below
// 0, why it could not fork one: an errno, negated), then each of its wait
// statuses up to the last.
using Word = int;

// One request, as the server reads it: the child's arguments and the mark of
// its run, NUL-separated, after the arguments' count; with four
// descriptors: the channel to answer on, and the child's three standard
// streams.
std::string encode(const std::vector<std::string>& arguments, const std::string& mark) {
    std::string message = std::to_string(arguments.size());
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

bool sendWithDescriptors(int socket, const std::string& bytes, const int (&fds)[4]) {
    iovec data{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof fds);
    std::memcpy(CMSG_DATA(header), fds, sizeof fds);
    ssize_t sent = 0;
    do {
        sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(bytes.size());
}

bool sendWord(int socket, Word word) {
    ssize_t sent = 0;
    do {
        sent = send(socket, &word, sizeof word, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == sizeof word;
}

// ---- the server ----------------------------------------------------------

struct Request {
    std::vector<std::string> arguments;
    std::string mark;
    int fds[4] = {-1, -1, -1, -1};  // channel, standard input, output, error
};

// The next request; nothing once the asking process has gone (or sent what
// is no request, which it never does).
std::optional<Request> receive() {
    ssize_t size = 0;
    do {
        size = recv(kControl, nullptr, 0, MSG_PEEK | MSG_TRUNC);
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
        got = recvmsg(kControl, &message, MSG_CMSG_CLOEXEC);
    } while (got < 0 && errno == EINTR);
    const cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (got != size || header == nullptr || header->cmsg_type != SCM_RIGHTS ||
        header->cmsg_len != CMSG_LEN(4 * sizeof(int))) {
        return std::nullopt;
    }
    Request request;
    std::memcpy(request.fds, CMSG_DATA(header), sizeof request.fds);
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t end = bytes.find('\0', at);
        fields.push_back(bytes.substr(at, end - at));
        at = end == std::string::npos ? bytes.size() : end + 1;
    }
    const std::size_t count = fields.empty() ? 0 : std::strtoul(fields[0].c_str(), nullptr, 10);
    if (fields.size() != count + 2 || fields.back().size() > kMarkRoom) {
        return std::nullopt;
    }
    request.arguments.assign(fields.begin() + 1, fields.end() - 1);
    request.mark = fields.back();
    return request;
}

// In the child, just forked: what the server holds for itself goes, the
// child is put where a child started afresh would be, and it runs.
[[noreturn]] void becomeChild(Request& request, pid_t server, const sigset_t& mask,
                              ProgramEntry entry) {
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    // Ended when the server ends, as the server ends with the one who asked.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != server) {
        _exit(127);
    }
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

int serve(ProgramEntry entry) {
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    sigset_t mask;
    sigprocmask(SIG_BLOCK, &childEnded, &mask);
    const int ended = signalfd(-1, &childEnded, SFD_CLOEXEC | SFD_NONBLOCK);
    if (ended < 0) {
        return 125;
    }
    std::map<pid_t, int> channels;  // each child's
    for (;;) {
        pollfd watched[2] = {{kControl, POLLIN, 0}, {ended, POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 125;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            while (read(ended, &info, sizeof info) == sizeof info) {
            }
            int status = 0;
            for (pid_t pid; (pid = waitpid(-1, &status, WNOHANG | WUNTRACED)) > 0;) {
                const auto channel = channels.find(pid);
                if (channel == channels.end()) {
                    continue;
                }
                sendWord(channel->second, status);
                if (!WIFSTOPPED(status)) {
                    close(channel->second);
                    channels.erase(channel);
                }
            }
        }
        if ((watched[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        std::optional<Request> request = receive();
        if (!request) {
            return 0;  // the one who asked has gone; the children go with us
        }
        const int channel = request->fds[0];
        // One thread, or a lock held elsewhere would stay locked in the copy.
        const pid_t pid = runningThreads() == 1 ? fork() : -1;
        const int forkError = pid < 0 && runningThreads() == 1 ? errno : EDEADLK;
        if (pid == 0) {
            becomeChild(*request, getppid(), mask, entry);
        }
        for (int i = 1; i < 4; ++i) {
            close(request->fds[i]);
        }
        if (pid < 0 || !sendWord(channel, pid)) {
            if (pid < 0) {
                sendWord(channel, -forkError);
            }
            close(channel);
            continue;
        }
        channels[pid] = channel;
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

    // Asks for a child, whose server answers on `channel`, the other end of
    // `answers`; its pid.
    pid_t fork(const std::vector<std::string>& arguments, const std::string& mark,
               const ChildStreams& streams, int channel, int answers) {
        const std::string request = encode(arguments, mark);
        const std::lock_guard<std::mutex> one(mutex_);
        const int fds[4] = {channel, streams.given(0), streams.given(1), streams.given(2)};
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
        Word pid = 0;
        ssize_t got = 0;
        do {
            got = recv(answers, &pid, sizeof pid, 0);
        } while (got < 0 && errno == EINTR);
        if (got != sizeof pid) {
            end();
            throw ProcessError("the fork server ended before it forked the child");
        }
        if (pid <= 0) {
            throw ProcessError(std::string("the fork server cannot fork: ") + std::strerror(-pid));
        }
        return pid;
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
        static const bool ended = std::atexit(stop) == 0;
        static_cast<void>(ended);
    }

    // The server sees its channel close and ends, and is reaped here, so
    // that no process of ours outlives us.
    void end() {
        if (control_ >= 0) {
            close(control_);
            control_ = -1;
            waitpid(pid_, nullptr, 0);
            unregisterRunning(pid_);
        }
    }

    // At this process's end.
    static void stop() { instance().end(); }

    std::mutex mutex_;
    pid_t pid_ = -1;
    int control_ = -1;
};

}  // namespace

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
        pid = ForkServer::instance().fork(arguments, mark, streams, channel[1], answers);
    } catch (...) {
        close(channel[1]);
        close(answers);
        throw;
    }
    close(channel[1]);
    streams.started();
    // The server's word on the child, instead of waitpid: the child is its.
    // Should the server go (a plugin may kill its parent), the child, killed
    // with it, is handed to us, the subreaper, and waited for here.
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
