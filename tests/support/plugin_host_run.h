#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "built_files.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#endif

// How plugin-host names a plugin's crash on a null pointer.
#if defined(_WIN32)
inline const std::string kSegfault = "crashed with exception 0xC0000005 (access violation)";
inline const std::string kBreakpoint = "crashed with exception 0x80000003 (breakpoint)";
#else
inline const std::string kSegfault = "crashed with signal 11 (Segmentation fault)";
inline const std::string kBreakpoint = "crashed with signal 5 (Trace/breakpoint trap)";
#endif

// A program's output line by line, without the line ends (\r\n on Windows).
inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
    }
    return result;
}

// The tests of a JSON report that did not pass, as "NAME: STATUS: CAUSE".
inline std::vector<std::string> notPassed(const nlohmann::json& report) {
    std::vector<std::string> result;
    for (const auto& test : report["tests"]) {
        if (test["status"] != "passed") {
            // A skipped test has no cause; it still shows, by its status.
            const auto& cause = test["cause"];
            result.push_back(test["name"].get<std::string>() + ": " +
                             test["status"].get<std::string>() + ": " +
                             (cause.is_string() ? cause.get<std::string>() : "(none)"));
        }
    }
    return result;
}

// What one run of the built plugin-host program printed and how it ended.
struct HostRun {
    int exitCode = -1;
    bool crashed = false;
    std::string ending;  // how it ended: "exit code 1", "signal 5 (Trace/breakpoint trap)"

    bool leftProcesses = false;
    std::string out;
    std::string err;

    std::vector<std::string> errLines() const { return lines(err); }
};

// An environment variable the children of plugin-host inherit; an empty
// value removes it.
inline void setVariable(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
#endif
}

inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the built plugin-host program as a user would, with a scratch folder.
class PluginHost : public ::testing::Test {
protected:
    void SetUp() override {
#if !defined(_WIN32)
        // A plugin-host that a test crashes leaves no core file behind.
        rlimit core{};
        getrlimit(RLIMIT_CORE, &core);
        core.rlim_cur = 0;
        setrlimit(RLIMIT_CORE, &core);
#endif
        scratch = std::filesystem::temp_directory_path() /
                  ("plugin-host-test-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(scratch);
    }
    void TearDown() override {
        std::filesystem::remove_all(scratch);
    }

    // Read through pipes, as a caller that waits for the end of its output
    // does; plugin-host must leave nothing behind that keeps them open.
    HostRun host(const std::vector<std::string>& arguments,
                 std::optional<std::string> input = std::nullopt) {
        return hostThrough({}, arguments, std::move(input));
    }

    // Started by `through` (a program and its arguments, to which
    // plugin-host's path and `arguments` are added), as another user or in
    // a container would start it; straight away when it is empty.
    HostRun hostThrough(const std::vector<std::string>& through,
                        const std::vector<std::string>& arguments,
                        std::optional<std::string> input = std::nullopt) {
        process::Redirect redirect;
        redirect.capture = true;
        redirect.standardInput = std::move(input);
        redirect.captureLimit = std::size_t{64} << 20;
        std::filesystem::path program = builtFile(PLUGIN_HOST_FILE_NAME);
        std::vector<std::string> all = arguments;
        if (!through.empty()) {
            all.insert(all.begin(), process::pathToUtf8(program));
            all.insert(all.begin(), through.begin() + 1, through.end());
            program = process::pathFromUtf8(through.front());
        }
        const auto termination = process::run(program, all, redirect);
        EXPECT_FALSE(termination.leftProcesses) << "plugin-host left processes running";
        return HostRun{termination.exitCode,
                       termination.crashed,
                       termination.description,
                       termination.leftProcesses,
                       termination.standardOutput.head,
                       termination.standardError.head};
    }

#if !defined(_WIN32)
    // As a user at a terminal runs it: a pseudo-terminal is plugin-host's
    // controlling terminal and standard input, `typed` already typed at it;
    // its output still goes through pipes.
    struct TerminalRun {
        HostRun run;
        std::string name;  // the terminal's, "/dev/pts/3"
        termios before{};  // its settings before, and as plugin-host left them
        termios after{};
    };
    TerminalRun hostOnTerminal(const std::vector<std::string>& arguments,
                               const std::string& typed) {
        TerminalRun result;
        int master = -1;
        int terminal = -1;
        int out[2];
        int err[2];
        char name[256] = {};
        if (openpty(&master, &terminal, name, nullptr, nullptr) != 0 || pipe(out) != 0 ||
            pipe(err) != 0) {
            ADD_FAILURE() << "no pseudo-terminal";
            return result;
        }
        result.name = name;
        tcgetattr(terminal, &result.before);
        const std::string program = builtFile(PLUGIN_HOST_FILE_NAME).string();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            // A session of its own, whose terminal this is, in its foreground.
            setsid();
            ioctl(terminal, TIOCSCTTY, 0);
            dup2(terminal, 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            closefrom(3);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        if (!typed.empty() && write(master, typed.data(), typed.size()) < 0) {
            ADD_FAILURE() << "cannot type at the terminal";
        }
        HostRun& run = result.run;
        pollfd streams[2] = {{out[0], POLLIN, 0}, { err[0], POLLIN, 0 }};
        std::string* into[2] = {&run.out, &run.err};
        for (int open = 2; open > 0;) {
            poll(streams, 2, -1);
            for (int i = 0; i < 2; ++i) {
                char buffer[4096];
                if (streams[i].fd >= 0 && (streams[i].revents & (POLLIN | POLLHUP)) != 0) {
                    const ssize_t got = read(streams[i].fd, buffer, sizeof buffer);
                    if (got > 0) {
                        into[i]->append(buffer, static_cast<std::size_t>(got));
                    } else {
                        close(streams[i].fd);
                        streams[i].fd = -1;
                        --open;
                    }
                }
            }
        }
        int status = 0;
        waitpid(pid, &status, 0);
        run.crashed = WIFSIGNALED(status);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        tcgetattr(terminal, &result.after);
        close(terminal);
        close(master);
        return result;
    }
#endif

    static std::string module(const std::string& name) {
        return process::pathToUtf8(builtModule(name));
    }

    std::string scratchFile(const std::string& name, const std::string& content) {
        const auto path = scratch / name;
        std::ofstream(path, std::ios::binary) << content;
        return process::pathToUtf8(path);
    }

    // A failure is told in exactly one line that names the module and the cause.
    static void expectOneLine(const HostRun& run, const std::string& path,
                              const std::string& cause) {
        const auto lines = run.errLines();
        ASSERT_EQ(lines.size(), 1u) << run.err;
        EXPECT_EQ(lines[0].rfind("plugin-host: " + path + ": ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(cause), std::string::npos) << lines[0];
    }

    std::filesystem::path scratch;
};
