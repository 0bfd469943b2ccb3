#include "child_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <set>

extern char** environ;

namespace process {

Pipe::Pipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw ProcessError(std::string("cannot make a pipe: ") + std::strerror(errno));
    }
    read = ends[0];
    write = ends[1];
}

Pipe::~Pipe() {
    closeRead();
    closeWrite();
}

void Pipe::closeRead() {
    if (read >= 0) {
        ::close(read);
        read = -1;
    }
}

void Pipe::closeWrite() {
    if (write >= 0) {
        ::close(write);
        write = -1;
    }
}

namespace {

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

std::mutex runningMutex;
std::set<pid_t> running;

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

int openForChild(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw ProcessError(path.string() + ": " + std::strerror(errno));
    }
    return fd;
}

}  // namespace

ChildStreams::ChildStreams(const Redirect& redirect) {
    if (redirect.standardInput) {
        // Written whole and closed before the child starts: the child reads
        // it to its end, and no one else ever holds the pipe.
        if (redirect.standardInput->size() > kInputLimit) {
            throw ProcessError("more input than a pipe holds before its reader starts");
        }
        in_.emplace();
        if (!writeAll(in_->write, *redirect.standardInput)) {
            throw ProcessError(std::string("cannot give the child its input: ") +
                               std::strerror(errno));
        }
        in_->closeWrite();
        given_[0] = in_->read;
    }
    if (redirect.capture) {
        out_.emplace();
        err_.emplace();
        given_[1] = out_->write;
        given_[2] = err_->write;
        return;
    }
    const std::filesystem::path* files[2] = {&redirect.standardOutput, &redirect.standardError};
    for (int i = 0; i < 2; ++i) {
        if (!files[i]->empty()) {
            given_[i + 1] = opened_[i + 1] = openForChild(*files[i]);
        }
    }
}

ChildStreams::~ChildStreams() {
    started();
}

void ChildStreams::started() {
    if (in_) {
        in_->closeRead();
    }
    if (out_) {
        out_->closeWrite();
        err_->closeWrite();
    }
    for (int& fd : opened_) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
}

void unregisterRunning(pid_t pid) {
    std::lock_guard<std::mutex> lock(runningMutex);
    running.erase(pid);
}

bool isRunning(pid_t pid) {
    std::lock_guard<std::mutex> lock(runningMutex);
    return running.count(pid) != 0;
}

pid_t startRegistered(const std::function<pid_t()>& start) {
    std::lock_guard<std::mutex> lock(runningMutex);
    const pid_t pid = start();
    if (pid > 0) {
        running.insert(pid);
    }
    return pid;
}

std::string newRunMark() {
    static std::atomic<int> runs{0};
    return std::to_string(getpid()) + "." + std::to_string(++runs);
}

std::vector<std::string> environmentWith(const std::string& mark) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, kRunMark, std::strlen(kRunMark)) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back(kRunMark + mark);
    return environment;
}

void pump(Pipe* pipes[2], Capture* into[2], int timeoutMs, int wake) {
    pollfd fds[3];
    int count = 0;
    int which[2];
    for (int i = 0; i < 2; ++i) {
        if (pipes[i] != nullptr && pipes[i]->read >= 0) {
            fds[count] = pollfd{pipes[i]->read, POLLIN, 0};
            which[count++] = i;
        }
    }
    if (count == 0 && wake < 0) {
        // Nothing left to read: the child is ending, or writes nowhere we see.
        usleep(1000);
        return;
    }
    const int pipesPolled = count;
    if (wake >= 0) {
        fds[count++] = pollfd{wake, POLLIN, 0};
    }
    if (poll(fds, static_cast<nfds_t>(count), timeoutMs) <= 0) {
        return;
    }
    count = pipesPolled;
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

Termination watch(pid_t pid, const std::function<pid_t(int& status)>& poll, const int* wake,
                  ChildStreams& streams, const Redirect& redirect, const Watchdog& watchdog,
                  const StallDetector& stall, std::string mark) {
    Termination termination;
    termination.mark = std::move(mark);
    Pipe* pipes[2] = {streams.outPipe(), streams.errPipe()};
    Capture outCapture(redirect.captureLimit);
    Capture errCapture(redirect.captureLimit, redirect.soughtInError);
    Capture* into[2] = {&outCapture, &errCapture};
    bool watching = stall.active();
    int status = 0;
    int stoppedBy = 0;
    for (;;) {
        const pid_t ended = poll(status);
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
        pump(pipes, into, 10, wake != nullptr ? *wake : -1);
    }
    unregisterRunning(pid);
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

}  // namespace process
