// plugin-host on plugins that misbehave the way real plugins do: after their
// last step, beside their steps, and into plugin-host's own channels. None of
// them passes, and plugin-host's own output stays its own.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "plugin_host_run.h"
#include "process_state.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using Hostile = PluginHost;

#if !defined(_WIN32)
// Whom plugin-host runs as: both the root user a CI job runs as, and the
// unprivileged user most people are, when this test may be either; else
// only who it is. Each comes with what starts a program as that user.
struct User {
    const char* name;
    std::vector<std::string> through;
    uid_t uid;
};
std::vector<User> users() {
    if (geteuid() != 0) {
        return {{"this user", {}, geteuid()}};
    }
    return {{"root", {}, 0},
            {"nobody",
             {"/usr/bin/setpriv", "--reuid", "65534", "--regid", "65534", "--clear-groups", "--"},
             65534}};
}

// A process outside every test, of `user`'s, that says whether a SIGWINCH
// reached it: a signal that harms no process should containment fail.
class Sentinel {
public:
    explicit Sentinel(uid_t user) {
        int ready[2];
        if (pipe(ready) != 0) {
            return;
        }
        const std::string program = builtFile("process_child").string();
        pid_ = fork();
        if (pid_ == 0) {
            dup2(ready[1], STDOUT_FILENO);
            if (user != geteuid() &&
                (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0)) {
                _exit(9);
            }
            execl(program.c_str(), program.c_str(), "sentinel", static_cast<char*>(nullptr));
            _exit(9);
        }
        close(ready[1]);
        char said[8] = {};
        [[maybe_unused]] const auto got = read(ready[0], said, sizeof said);  // "ready"
        close(ready[0]);
    }
    Sentinel(const Sentinel&) = delete;
    Sentinel& operator=(const Sentinel&) = delete;
    ~Sentinel() { reached(); }

    // Whether a SIGWINCH reached it; it ends.
    bool reached() {
        if (pid_ <= 0) {
            return false;
        }
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        EXPECT_TRUE(WIFEXITED(status)) << "the sentinel ended otherwise: " << status;
        return !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }

private:
    pid_t pid_ = -1;
};

// A TCP listener on the loopback address, for the length of a test.
class Listener {
public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd_, 8) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            ADD_FAILURE() << "no listener on the loopback address";
        }
        port_ = ntohs(address.sin_port);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Each test's child reaches no process, file or connection outside its test,
// as root and as an unprivileged user: what would harm the machine ends the
// test (a signal to every process, or to its parent, the fork server), what
// would only read or reach out fails with an error the plugin sees, and
// what the run opens (--allow-network, --writable) the plugin reaches.
TEST_F(Hostile, APluginReachesNothingOutsideItsOwnTest) {
    const std::string path = module("fixture_reaches_out");
    const Listener listener;
    const auto folder = scratch / "opened";
    std::filesystem::create_directories(folder);
    std::filesystem::permissions(folder, std::filesystem::perms::all);
    const std::string written = process::pathToUtf8(folder / "written");
    setenv("FIXTURE_PORT", std::to_string(listener.port()).c_str(), 1);
    setenv("FIXTURE_PATH", written.c_str(), 1);
    setenv("FIXTURE_USER_NAMESPACE",
           std::filesystem::read_symlink("/proc/self/ns/user").string().c_str(), 1);
    const std::string ended = "lifecycle: crashed with signal 31 (Bad system call) in onLoad";
    const auto printed = [](const std::string& line) {
        return "warning [plugin-output]: lifecycle wrote " + std::to_string(line.size() + 1) +
               " bytes to standard output; first line: \"" + line + "\"";
    };
    const struct {
        const char* reach;
        std::vector<std::string> options;
        std::string line;
        int exitCode;
    } rows[] = {
        {"signal-everyone", {}, ended, 1},
        {"stop-parent", {}, ended, 1},
        {"kill-parent", {}, ended, 1},
        {"trace-host", {}, printed("trace: refused"), 0},
        {"read-host", {}, printed("read: refused"), 0},
        {"connect", {}, printed("connect: refused"), 0},
        {"connect", {"--allow-network"}, printed("connect: allowed"), 0},
        {"write", {}, printed("write: refused"), 0},
        {"write", {"--writable", process::pathToUtf8(folder)}, printed("write: allowed"), 0},
        // What the run opens, it opens alone: the namespaces stay.
        {"user-namespace", {"--allow-network"}, printed("user namespace: its own"), 0},
    };
    for (const User& user : users()) {
        for (const auto& row : rows) {
            SCOPED_TRACE(std::string(user.name) + ": " + row.reach + " " +
                         (row.options.empty() ? "" : row.options[0]));
            std::filesystem::remove(written);
            setenv("FIXTURE_REACH", row.reach, 1);
            Sentinel sentinel(user.uid);
            std::vector<std::string> arguments{"--timeout", "20", "--test", "lifecycle"};
            arguments.insert(arguments.end(), row.options.begin(), row.options.end());
            arguments.push_back(path);
            const HostRun run = hostThrough(user.through, arguments);
            EXPECT_EQ(run.exitCode, row.exitCode) << run.err;
            EXPECT_EQ(run.errLines(),
                      std::vector<std::string>{"plugin-host: " + path + ": " + row.line});
            EXPECT_FALSE(sentinel.reached());
            EXPECT_EQ(std::filesystem::exists(written), row.line == printed("write: allowed"));
        }
    }
    for (const char* name :
         {"FIXTURE_REACH", "FIXTURE_PORT", "FIXTURE_PATH", "FIXTURE_USER_NAMESPACE"}) {
        unsetenv(name);
    }
}

// Where the kernel refuses namespaces (a container that forbids them), the
// run says once what it could not set up and goes on with the rest, under
// which a plugin still reaches no other process; --contain refuses to run
// without all of it, with the same line and exit code 3.
TEST_F(Hostile, WithoutNamespacesTheRunSaysSoAndContainRefusesIt) {
    const std::string velquist = module("Velquist");
    const std::string notice =
        "plugin-host: cannot set up the user, network, mount and ipc namespaces (user "
        "namespaces: Operation not permitted); the tests run with the Landlock file rules, the "
        "Landlock signal scope and the seccomp filter only";
    for (const User& user : users()) {
        SCOPED_TRACE(user.name);
        std::vector<std::string> refused = user.through;
        refused.push_back(builtFile("refuse_namespaces").string());
        const HostRun contained = hostThrough(refused, {"--contain", "--json", velquist});
        EXPECT_EQ(contained.exitCode, 3) << contained.err;
        EXPECT_EQ(contained.errLines(), std::vector<std::string>{notice});
        EXPECT_EQ(contained.out, "");

        const HostRun run = hostThrough(refused, {"--json", velquist});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.errLines(), std::vector<std::string>{notice});
        const auto report = nlohmann::json::parse(run.out);
        EXPECT_EQ(report["containment"]["missing"],
                  nlohmann::json(
                      {"user namespace", "network namespace", "mount namespace", "ipc namespace"}));
        EXPECT_EQ(
            report["containment"]["inPlace"],
            nlohmann::json({"Landlock file rules", "Landlock signal scope", "seccomp filter"}));

        // Its parent, the fork server, is out of the plugin's reach all the
        // same: stopping it ends the test alone.
        setenv("FIXTURE_REACH", "stop-parent", 1);
        const std::string reaches = module("fixture_reaches_out");
        const HostRun stopper =
            hostThrough(refused, {"--timeout", "20", "--test", "lifecycle", reaches});
        unsetenv("FIXTURE_REACH");
        EXPECT_EQ(stopper.exitCode, 1) << stopper.err;
        EXPECT_EQ(stopper.errLines(),
                  (std::vector<std::string>{
                      notice, "plugin-host: " + reaches +
                                  ": lifecycle: crashed with signal 31 (Bad system call) in "
                                  "onLoad"}));

        // Where it is all in place, --contain changes nothing.
        const HostRun whole = hostThrough(user.through, {"--contain", velquist});
        EXPECT_EQ(whole.exitCode, 0) << whole.err;
        EXPECT_EQ(whole.err, "");
    }
}
#endif

#if defined(_WIN32)
// What a run with --writable says on Windows, before anything else.
const std::string kWritableNotice =
    "plugin-host: cannot set up the low integrity (--writable folders are written at the user's "
    "own integrity); the tests run with the job object, the job UI limits and the restricted "
    "token only";

// wine runs a restricted, low-integrity token's process as any other: it
// checks no integrity level, privilege or job UI limit.
bool underWine() {
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

// Each test's child runs in a job object kept from the rest of the desktop,
// with a restricted token at low integrity: it opens no process of the
// user's, enables no privilege, reaches no clipboard and writes no file of
// the user's. A --writable folder it writes at the user's own integrity,
// which the run says.
TEST_F(Hostile, APluginReachesNothingOutsideItsOwnTest) {
    const std::string velquist = module("Velquist");
    const std::string folder = process::pathToUtf8(scratch);
    const HostRun run = host({"--json", "--test", "lifecycle", velquist});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(
        nlohmann::json::parse(run.out)["containment"],
        nlohmann::json(
            {{"inPlace", {"job object", "job UI limits", "restricted token", "low integrity"}},
             {"missing", nlohmann::json::array()},
             {"network", false},
             {"why", nullptr},
             {"writable", nlohmann::json::array()}}));
    const std::string notice = kWritableNotice;
    const HostRun writable = host({"--writable", folder, "--test", "lifecycle", velquist});
    EXPECT_EQ(writable.exitCode, 0) << writable.err;
    EXPECT_EQ(writable.errLines(), std::vector<std::string>{notice});
    const HostRun refused =
        host({"--contain", "--writable", folder, "--test", "lifecycle", velquist});
    EXPECT_EQ(refused.exitCode, 3) << refused.err;
    EXPECT_EQ(refused.errLines(), std::vector<std::string>{notice});

    if (underWine()) {
        GTEST_SKIP() << "wine enforces no integrity level, privilege or job UI limit";
    }
    const std::string path = module("fixture_reaches_out");
    const std::string written = process::pathToUtf8(scratch / "written");
    _putenv_s("FIXTURE_PATH", written.c_str());
    const auto printed = [](const std::string& line) {
        return "warning [plugin-output]: lifecycle wrote " + std::to_string(line.size() + 2) +
               " bytes to standard output; first line: \"" + line + "\"";
    };
    const struct {
        const char* reach;
        bool writable;
        std::string line;
    } rows[] = {
        {"open-host", false, "open: refused"},      {"end-host", false, "end: refused"},
        {"privilege", false, "privilege: refused"}, {"clipboard", false, "clipboard: refused"},
        {"write", false, "write: refused"},         {"integrity", false, "integrity: refused"},
        {"write", true, "write: allowed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.reach) + (row.writable ? " --writable" : ""));
        std::filesystem::remove(scratch / "written");
        _putenv_s("FIXTURE_REACH", row.reach);
        std::vector<std::string> arguments{"--timeout", "20", "--test", "lifecycle", path};
        if (row.writable) {
            arguments.insert(arguments.begin(), {"--writable", folder});
        }
        const HostRun reached = host(arguments);
        EXPECT_EQ(reached.exitCode, 0) << reached.err;
        std::vector<std::string> lines{"plugin-host: " + path + ": " + printed(row.line)};
        if (row.writable) {
            lines.insert(lines.begin(), notice);
        }
        EXPECT_EQ(reached.errLines(), lines);
        EXPECT_EQ(std::filesystem::exists(scratch / "written"), row.writable);
    }
    _putenv_s("FIXTURE_REACH", "");
    _putenv_s("FIXTURE_PATH", "");
}
#endif

TEST_F(Hostile, ACrashAfterTheLastStepIsACrashInExit) {
    const std::string path = module("fixture_crashes_at_exit");
    const HostRun run = host({"--json", path});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(notPassed(report),
              std::vector<std::string>{"lifecycle: crashed: " + kSegfault + " in exit"});
    EXPECT_EQ(report["steps"]["unload"], "passed");
    EXPECT_EQ(report["steps"]["exit"], "crashed");
    EXPECT_EQ(run.errLines(), std::vector<std::string>{"plugin-host: " + path +
                                                       ": lifecycle: " + kSegfault + " in exit"});
}

// A child that crashes writes no report: what the parent shows comes from
// its progress records, the descriptor among them.
TEST_F(Hostile, ACrashInAStepKeepsWhatTheProgressRecordsSaid) {
    const HostRun run = host({"--json", "--test", "lifecycle", module("fixture_crashing_onload")});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(notPassed(report),
              std::vector<std::string>{"lifecycle: crashed: " + kSegfault + " in onLoad"});
    EXPECT_EQ(report["descriptor"]["classLabel"], "FixturePlugin");
    EXPECT_EQ(report["steps"]["getPlugin"], "passed");
    EXPECT_EQ(report["steps"]["onLoad"], "crashed");
}

TEST_F(Hostile, AStandardStreamLeftOnAPluginsBufferIsFoundAndPutBackInBothModes) {
    const std::string path = module("fixture_steals_cout");
    const std::string cause =
        "left std::cout pointing at a buffer of its own, which goes with the module";
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun run = host({mode, "--json", path});
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_EQ(notPassed(nlohmann::json::parse(run.out)),
                  std::vector<std::string>{"lifecycle: failed: " + cause});
        EXPECT_EQ(run.errLines(),
                  std::vector<std::string>{"plugin-host: " + path + ": lifecycle: " + cause});
    }
}

#if !defined(_WIN32)
// Exit handlers in the C library's code outlive the module; Windows keeps a
// module's own exit handlers with the module.
TEST_F(Hostile, AnExitCodeOfThePluginsOwnIsAFailureInExit) {
    const std::string path = module("fixture_exits_otherwise");
    const HostRun run = host({"--json", path});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const std::string cause = "ended with exit code 3 instead of exit code 0 in exit";
    EXPECT_EQ(notPassed(nlohmann::json::parse(run.out)),
              std::vector<std::string>{"lifecycle: failed: " + cause});
    EXPECT_EQ(run.errLines(),
              std::vector<std::string>{"plugin-host: " + path + ": lifecycle: " + cause});
}
#endif

TEST_F(Hostile, AThreadLeftRunningFailsTheUnloadAndCrashesNothing) {
    const std::string path = module("fixture_thread_left_running");
    const std::string cause = "left 1 thread running at unload";
    const HostRun isolated = host({"--json", path});
    EXPECT_EQ(isolated.exitCode, 1) << isolated.err;
    EXPECT_EQ(notPassed(nlohmann::json::parse(isolated.out)),
              (std::vector<std::string>{"lifecycle: failed: " + cause,
                                        "unload-while-holding: failed: " + cause}));
    EXPECT_EQ(isolated.errLines(),
              std::vector<std::string>{"plugin-host: " + path + ": lifecycle: " + cause +
                                       " (and 1 more test failed)"});

    // In process the module stays loaded for the thread's sake, and so the
    // first test to unload it is the one that says why.
    const HostRun inProcess = host({"--in-process", "--json", path});
    EXPECT_FALSE(inProcess.crashed);
    EXPECT_EQ(inProcess.exitCode, 1) << inProcess.err;
    const auto failures = notPassed(nlohmann::json::parse(inProcess.out));
    ASSERT_FALSE(failures.empty());
    EXPECT_EQ(failures[0], "lifecycle: failed: " + cause);
}

TEST_F(Hostile, AThreadThatHasEndedIsFine) {
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun run = host({mode, module("fixture_thread_ended")});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
    }
}

#if defined(_WIN32)
// The C runtime's text mode ends a line with \r\n, in both modes.
const std::string kLineBytes = "23";
#else
const std::string kLineBytes = "22";
#endif

TEST_F(Hostile, WhatThePluginPrintsIsAWarningAndNeverInPluginHostsOutput) {
    const std::string path = module("fixture_prints");
    const std::vector<std::string> warnings{
        "plugin-host: " + path + ": warning [plugin-output]: lifecycle wrote " + kLineBytes +
            " bytes to standard output; first line: \"hello from the plugin\"",
        "plugin-host: " + path + ": warning [plugin-output]: lifecycle wrote " + kLineBytes +
            " bytes to standard error; first line: \"careful: \\x1B[31mred\\x1B[0m\""};
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun run = host({mode, "--json", path});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const auto report = nlohmann::json::parse(run.out);  // one document, nothing else
        EXPECT_EQ(report["pluginOutput"], nlohmann::json::parse(R"([
            {"test":"lifecycle","stream":"standard output","bytes":)" +
                                                                kLineBytes + R"(,
             "firstLine":"hello from the plugin"},
            {"test":"lifecycle","stream":"standard error","bytes":)" +
                                                                kLineBytes + R"(,
             "firstLine":"careful: \\x1B[31mred\\x1B[0m"}])"));
        EXPECT_EQ(run.errLines(), warnings);
    }
    const HostRun strict = host({"--strict", path});
    EXPECT_EQ(strict.exitCode, 1);
    EXPECT_EQ(strict.errLines().back(),
              "plugin-host: " + path + ": failed under --strict: 2 warnings (plugin-output)");
    EXPECT_EQ(strict.out.find("hello"), std::string::npos) << strict.out;
}

TEST_F(Hostile, MegabytesOfOutputAreCountedNotKept) {
    const std::string path = module("fixture_prints_megabytes");
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun run = host({mode, "--json", path});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const auto report = nlohmann::json::parse(run.out);
        ASSERT_EQ(report["pluginOutput"].size(), 1u);
        EXPECT_EQ(report["pluginOutput"][0]["bytes"], 8u << 20);
        EXPECT_EQ(report["pluginOutput"][0]["firstLine"], std::string(200, 'x') + " ...");
        EXPECT_LT(run.out.size() + run.err.size(), 8192u);
    }
}

TEST_F(Hostile, BytesWrittenIntoPluginHostsReportAreNoProgressAndNoPass) {
    const std::string path = module("fixture_writes_everywhere");
    const HostRun run = host({"--json", path});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    const std::string cause = "the plugin wrote 8 bytes into plugin-host's report during onLoad";
    EXPECT_EQ(notPassed(report), std::vector<std::string>{"lifecycle: failed: " + cause});
    EXPECT_EQ(run.errLines().back(), "plugin-host: " + path + ": lifecycle: " + cause);

    // Garbage written all the time is not progress: the limit still holds.
    const std::string hanging = module("fixture_writes_everywhere_and_hangs");
    const auto started = std::chrono::steady_clock::now();
    const HostRun hung = host({"--json", "--timeout", "1", hanging});
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(hung.exitCode, 1) << hung.err;
    EXPECT_EQ(notPassed(nlohmann::json::parse(hung.out)),
              std::vector<std::string>{
                  "lifecycle: timed out: did not finish within 1 s and was killed in onLoad"});
    // Were garbage progress, it would never end; the step is timed from its
    // own start, so the margin is the hangs' (a child's start under wine).
    EXPECT_LT(waited, std::chrono::seconds(1 + 3));

    // With no limit at all, a flood still ends at the bound on garbage.
    const std::string flood = module("fixture_floods_everywhere");
    const HostRun flooded = host({"--timeout", "0", "--test", "lifecycle", flood});
    EXPECT_EQ(flooded.exitCode, 1) << flooded.err;
    std::smatch bytes;
    const std::string line = flooded.errLines().empty() ? "" : flooded.errLines().back();
    ASSERT_TRUE(std::regex_match(line, bytes,
                                 std::regex("plugin-host: .*: lifecycle: the plugin wrote ([0-9]+) "
                                            "bytes into plugin-host's report during onLoad")))
        << flooded.err;
    EXPECT_EQ(line.rfind("plugin-host: " + flood + ": ", 0), 0u);
    EXPECT_GT(std::stoull(bytes[1]), 1u << 20);
}

// A plugin that only writes bytes can write plugin-host's words, but not its
// verdict: a passing report for every test, the records already there
// copied, and an exit code of 0; or the isolated run's own words for a
// report it cannot write, and its exit code.
TEST_F(Hostile, NoPluginCanWritePluginHostsVerdictOrBlameIt) {
    const std::pair<const char*, const char*> fixtures[] = {
        {"fixture_forges_pass", "ended without a report (exit code 0) in onLoad"},
        {"fixture_blames_host", "ended without a report (exit code 3) in onLoad"}};
    for (const auto& [fixture, cause] : fixtures) {
        SCOPED_TRACE(fixture);
        const std::string path = module(fixture);
        const HostRun run = host({"--json", path});
        EXPECT_EQ(run.exitCode, 1) << run.err;
        const auto report = nlohmann::json::parse(run.out);
        EXPECT_EQ(notPassed(report),
                  std::vector<std::string>{"lifecycle: crashed: " + std::string(cause)});
        EXPECT_EQ(run.errLines().back(), "plugin-host: " + path + ": lifecycle: " + cause);
    }
}

TEST_F(Hostile, ProcessesThePluginStartsEndWithItsTest) {
    const std::string path = module("fixture_forks_helper");
    const auto started = std::chrono::steady_clock::now();
    const HostRun run = host({"--json", path});
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_LT(waited, std::chrono::seconds(10));  // the helper lives for a minute
    EXPECT_EQ(run.errLines(),
              std::vector<std::string>{
                  "plugin-host: " + path +
                  ": warning [left-processes]: lifecycle, get-plugin-twice, delete-before-get, "
                  "fresh-after-delete, copy-outlives-delete, unload-while-holding ended with "
                  "processes of the plugin's still running; plugin-host ended them"});
}

// A helper that leaves the test's process group, or its session (on Windows:
// that asks to leave the job), still ends with its test: plugin-host is the
// subreaper of all it leaves, and the job allows no breakaway.
TEST_F(Hostile, AHelperThatEscapesItsGroupOrSessionIsEndedToo) {
#if defined(_WIN32)
    // Only the isolated run has a job; plugin-host's own process has none.
    const std::vector<std::pair<const char*, const char*>> runs{
        {"fixture_escapes_group", "--timeout=20"}};
#else
    std::vector<std::pair<const char*, const char*>> runs;
    for (const char* fixture : {"fixture_escapes_group", "fixture_escapes_session"}) {
        for (const char* mode : {"--timeout=20", "--in-process"}) {
            runs.emplace_back(fixture, mode);
        }
    }
#endif
    for (const auto& [fixture, mode] : runs) {
        SCOPED_TRACE(std::string(fixture) + " " + mode);
        const auto pidFile = scratch / (std::string(fixture) + mode + ".pids");
        const std::string pidPath = process::pathToUtf8(pidFile);
#if defined(_WIN32)
        _putenv_s("FIXTURE_PID_FILE", pidPath.c_str());
#else
        setenv("FIXTURE_PID_FILE", pidPath.c_str(), 1);
#endif
        // Isolated, the plugin writes only where the run lets it.
        std::vector<std::string> arguments{mode, "--test", "lifecycle", module(fixture)};
        if (std::string(mode) != "--in-process") {
            arguments.insert(arguments.begin(), {"--writable", process::pathToUtf8(scratch)});
        }
        const HostRun run = host(arguments);
#if defined(_WIN32)
        _putenv_s("FIXTURE_PID_FILE", "");
#else
        unsetenv("FIXTURE_PID_FILE");
#endif
        std::istringstream pids(slurp(pidFile));
        int count = 0;
        for (int pid = 0; pids >> pid; ++count) {
            EXPECT_FALSE(stillRuns(static_cast<unsigned long>(pid)))
                << "helper " << pid << " still runs";
        }
        EXPECT_EQ(count, 1);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        std::vector<std::string> lines{"plugin-host: " + module(fixture) +
                                       ": warning [left-processes]: lifecycle ended with "
                                       "processes of the plugin's still running; plugin-host "
                                       "ended them"};
#if defined(_WIN32)
        lines.insert(lines.begin(), kWritableNotice);
#endif
        EXPECT_EQ(run.errLines(), lines);
    }
}

#if !defined(_WIN32)
// A helper that left its test's session is blamed by the mark it carries;
// one whose mark cannot be read may be any test's, so every test is blamed.
TEST_F(Hostile, AnEscapedHelperIsBlamedByItsMarkOrOnEveryTestWithout) {
    const std::string path = module("fixture_escapes_session");
    setenv("FIXTURE_PID_FILE", process::pathToUtf8(scratch / "pids").c_str(), 1);
    for (const auto& [unmarked, blamed] :
         {std::pair{false, "lifecycle"}, std::pair{true, "descriptor, lifecycle"}}) {
        SCOPED_TRACE(unmarked ? "unmarked" : "marked");
        if (unmarked) {
            setenv("FIXTURE_UNMARKED", "1", 1);
        }
        const HostRun run = host({"--test", "descriptor", "--test", "lifecycle", path});
        unsetenv("FIXTURE_UNMARKED");
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.errLines(),
                  std::vector<std::string>{"plugin-host: " + path +
                                           ": warning [left-processes]: " + blamed +
                                           " ended with processes of the plugin's still running; "
                                           "plugin-host ended them"});
    }
    // Beside another module's tests, which end first, it is still this
    // module's alone.
    const HostRun both =
        host({"--test", "descriptor", "--test", "lifecycle", module("Velquist"), path});
    EXPECT_EQ(both.exitCode, 0) << both.err;
    EXPECT_EQ(both.errLines(),
              std::vector<std::string>{"plugin-host: " + path +
                                       ": warning [left-processes]: lifecycle ended with processes "
                                       "of the plugin's still running; plugin-host ended them"});
    unsetenv("FIXTURE_PID_FILE");
}

// Each test runs in a process no plugin has touched: what one test's plugin
// left in its process, even what no process can take back, is not in the
// next one's, however the children are made.
TEST_F(Hostile, EachTestStartsWithNoneOfAnotherTestsProcessState) {
    const std::string path = module("fixture_marks_its_process");
    for (int run = 0; run < 3; ++run) {
        const HostRun marked = host(
            {"--test", "lifecycle", "--test", "descriptor", "--test", "get-plugin-twice", path});
        EXPECT_EQ(marked.exitCode, 0) << marked.err;
        EXPECT_EQ(marked.errLines(),
                  std::vector<std::string>{"plugin-host: " + path +
                                           ": warning [process-state]: lifecycle set "
                                           "PR_SET_NO_NEW_PRIVS 1; plugin-host cannot put it "
                                           "back, so what ran after it in this process ran "
                                           "with it"});
    }
}

// plugin-host's own descriptors are not the plugin's: taking one fails the
// step that did it, and is never read as plugin-host's own trouble (exit 3).
TEST_F(Hostile, APluginThatTakesPluginHostsDescriptorsFailsTheStepThatDidIt) {
    const std::string closes = module("fixture_closes_descriptors");
    const HostRun closed = host({"--json", closes});
    EXPECT_EQ(closed.exitCode, 1) << closed.err;
    const auto report = nlohmann::json::parse(closed.out);
    EXPECT_EQ(notPassed(report),
              std::vector<std::string>{
                  "lifecycle: failed: closed plugin-host's report file during onLoad"});
    EXPECT_EQ(report["steps"]["onLoad"], "failed");
    EXPECT_EQ(closed.errLines(),
              std::vector<std::string>{"plugin-host: " + closes +
                                       ": lifecycle: closed plugin-host's report file during "
                                       "onLoad"});

    const std::string replaces = module("fixture_replaces_descriptors");
    const HostRun replaced = host({"--json", replaces});
    EXPECT_EQ(replaced.exitCode, 1) << replaced.err;
    // The file it put there is its own, left open.
    EXPECT_EQ(replaced.errLines(),
              (std::vector<std::string>{
                  "plugin-host: " + replaces +
                      ": warning [left-descriptors]: lifecycle left 1 descriptor open (4 before "
                      "the first load, 5 after the test)",
                  "plugin-host: " + replaces +
                      ": lifecycle: put another file in the place of plugin-host's report file "
                      "during onLoad"}));

    // In process it takes plugin-host's own output, which nothing can give
    // back: the report is lost, but the run still fails, and nothing crashes.
    for (const std::string& path : {closes, replaces}) {
        const HostRun inProcess = host({"--in-process", path});
        EXPECT_FALSE(inProcess.crashed);
        EXPECT_EQ(inProcess.exitCode, 1) << path;
    }
}
#endif

// In plugin-host's own process, a plugin's exit ends plugin-host as a
// failure that names the step, whatever code the plugin asked for.
TEST_F(Hostile, AnExitFromInsideAStepIsAFailureInProcess) {
    const std::pair<const char*, const char*> steps[] = {
        {"fixture_exits_in_load", "load"},
        {"fixture_exits_in_getplugin", "getPlugin"},
        {"fixture_exits_in_onload", "onLoad"},
        {"fixture_exits_in_onunload", "onUnload"},
        {"fixture_exits_in_deleteme", "deleteMe"}};
    for (const auto& [fixture, step] : steps) {
        for (const char* code : {"0", "3"}) {
            SCOPED_TRACE(std::string(fixture) + " " + code);
#if defined(_WIN32)
            _putenv_s("FIXTURE_EXIT_CODE", code);
            const std::string asked;  // the C runtime does not tell its handlers
#else
            setenv("FIXTURE_EXIT_CODE", code, 1);
            const std::string asked = std::string(" with exit code ") + code;
#endif
            const std::string path = module(fixture);
            const HostRun run = host({"--in-process", path});
            EXPECT_EQ(run.exitCode, 1) << run.err;
            const std::string test = std::string(step) == "load" ? "descriptor" : "lifecycle";
            EXPECT_EQ(
                run.errLines(),
                std::vector<std::string>{"plugin-host: " + path + ": " + test +
                                         ": the plugin ended the process" + asked + " in " + step});
        }
    }
}

TEST_F(Hostile, VelquistLeavesNothingToWarnAbout) {
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun run = host({mode, "--strict", "--json", module("Velquist")});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const auto report = nlohmann::json::parse(run.out);
        EXPECT_TRUE(report["warnings"].empty());
        EXPECT_TRUE(report["pluginOutput"].empty());
    }
}

}  // namespace
