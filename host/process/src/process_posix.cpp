#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>

#include "process/process.h"
#include "stall_detector.h"

extern char** environ;

namespace process {

Termination run(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                const Redirect& redirect, const Watchdog& watchdog) {
    const std::string programText = program.string();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(programText.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    if (!redirect.standardOutput.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, redirect.standardOutput.c_str(),
                                         flags, 0644);
    }
    if (!redirect.standardError.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, redirect.standardError.c_str(),
                                         flags, 0644);
    }
    pid_t pid = 0;
    const int error =
        posix_spawn(&pid, programText.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        throw ProcessError(programText + ": " + std::strerror(error));
    }

    Termination termination;
    StallDetector stall(watchdog);
    bool polling = stall.active();
    int status = 0;
    for (;;) {
        const pid_t ended = waitpid(pid, &status, polling ? WNOHANG : 0);
        if (ended == pid) {
            break;
        }
        if (ended < 0 && errno != EINTR) {
            throw ProcessError(std::string("waiting for the child: ") + std::strerror(errno));
        }
        if (ended == 0 && stall.stalled()) {
            kill(pid, SIGKILL);
            termination.timedOut = true;
            polling = false;  // now wait for it to go
        } else if (ended == 0) {
            usleep(10000);
        }
    }
    if (termination.timedOut) {
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

std::filesystem::path currentExecutable() {
    return std::filesystem::read_symlink("/proc/self/exe");
}

std::vector<std::string> arguments(int argc, char** argv) {
    return {argv, argv + argc};
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

void endQuietlyOnCrash() {
    rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
}

}  // namespace process
