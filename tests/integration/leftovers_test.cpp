// plugin-host on plugins that leave something of theirs in the host's
// process: each kind alone, in both modes. Whatever points into the module
// fails the test at unload; whatever only changed is a warning; either way
// plugin-host puts the host's state back, so the tests after it still pass.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "catalog.h"
#include "guards/guard.h"
#if !defined(_WIN32)
#include "guards/privilege.h"
#endif
#include "leftovers.h"
#include "loader/plugin_module.h"
#include "plugin_host_run.h"

namespace {

struct Kind {
    const char* fixture;
    // "failed: CAUSE" of lifecycle's unload, or the warning's check and text.
    const char* failure = nullptr;
    const char* check = nullptr;
    const char* warning = nullptr;
};

const Kind kKinds[] = {
    {"fixture_leaves_signal_handler",
     "left the SIGSEGV handler pointing into the module, which is gone after unload"},
    {"fixture_leaves_terminate_handler",
     "left the terminate handler pointing into the module, which is gone after unload"},
    {"fixture_leaves_new_handler",
     "left the new-handler pointing into the module, which is gone after unload"},
    {"fixture_leaves_locale_facet",
     "left the global C++ locale with a numpunct<char> facet of its own, which is gone after "
     "unload"},
    {"fixture_leaves_signal_ignored", nullptr, "process-state", "lifecycle left SIGTERM ignored"},
    {"fixture_leaves_environment_changed", nullptr, "process-state",
     "lifecycle changed the environment variable FIXTURE_LEFT_VARIABLE"},
#if defined(_WIN32)
    {"fixture_leaves_exception_filter",
     "left the unhandled-exception filter pointing into the module, which is gone after unload"},
    {"fixture_leaves_c_locale", nullptr, "process-state",
     "lifecycle changed the C locale to \"English_United States.1252\""},
    {"fixture_leaves_working_directory", nullptr, "process-state",
     "lifecycle changed the working directory to \"C:\\\""},
    {"fixture_leaves_error_mode", nullptr, "process-state",
     "lifecycle changed the error mode to 0x5"},
#else
    {"fixture_leaves_stdio_buffer",
     "left stdout writing into a buffer in the module, which is gone after unload"},
    {"fixture_leaves_environment_entry",
     "left the environment variable FIXTURE_LEFT_VARIABLE pointing into the module, which is "
     "gone after unload"},
    {"fixture_leaves_c_locale", nullptr, "process-state",
     "lifecycle changed the C locale to \"C.UTF-8\""},
    {"fixture_leaves_working_directory", nullptr, "process-state",
     "lifecycle changed the working directory to \"/\""},
    {"fixture_leaves_file_mode_mask", nullptr, "process-state",
     "lifecycle changed the file mode mask to 077"},
    {"fixture_leaves_signal_blocked", nullptr, "process-state", "lifecycle left SIGUSR1 blocked"},
#endif
};

class Leftovers : public PluginHost, public ::testing::WithParamInterface<Kind> {};

TEST_P(Leftovers, AreFoundAloneAndPutBackInBothModes) {
    const Kind& kind = GetParam();
    const std::string path = module(kind.fixture);
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun run = host({mode, "--json", "--cycles", "3", path});
        ASSERT_FALSE(run.crashed) << run.err;
        const auto report = nlohmann::json::parse(run.out);
        if (kind.failure != nullptr) {
            EXPECT_EQ(run.exitCode, 1) << run.err;
            EXPECT_EQ(report["cycles"]["passed"], 0) << "found in the cycle that left it";
            // Only lifecycle calls onLoad: every test after it passes on the
            // state plugin-host put back.
            EXPECT_EQ(notPassed(report),
                      std::vector<std::string>{"lifecycle: failed: " + std::string(kind.failure)});
            EXPECT_EQ(report["steps"]["unload"], "failed");
            EXPECT_EQ(run.errLines(), std::vector<std::string>{"plugin-host: " + path +
                                                               ": lifecycle: " + kind.failure});
        } else {
            EXPECT_EQ(run.exitCode, 0) << run.err;
            const std::string text = std::string(kind.warning) + "; plugin-host put it back";
            EXPECT_EQ(report["warnings"],
                      nlohmann::json::parse(R"([{"check":")" + std::string(kind.check) +
                                            R"(","text":)" + nlohmann::json(text).dump() + "}]"));
            EXPECT_EQ(run.errLines(),
                      std::vector<std::string>{"plugin-host: " + path + ": warning [" + kind.check +
                                               "]: " + text});
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EachKind, Leftovers, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.fixture); });

// Each kind fixture_leaves_kind leaves when FIXTURE_LEAVE names it: the
// whole line, a failure of lifecycle's unload or a process-state warning.
struct NamedKind {
    std::string kind;
    std::string failure;
    std::string warning;
    bool lasting = false;  // cannot be put back, and the warning says so
    // No API lists it: the isolated child provokes it after the test, and
    // `failure` is the crash's cause; plugin-host's own process does not.
    bool provoked = false;
    // Only the process's end runs it: the isolated child crashes in exit,
    // plugin-host's own process after its verdict, with a line that says so.
    bool atExit = false;
    // The user's terminal: run on a pseudo-terminal, which an isolated
    // child, in a session of its own, cannot reach but by its name: then
    // this is the warning, naming every test.
    bool terminal = false;
    std::string isolatedWarning = "";
    // Whether an isolated child cannot put it back, where that differs.
    std::optional<bool> lastingIsolated = std::nullopt;
};

#if !defined(_WIN32)
// Whether this process may enter a namespace of its own: tried in a child.
bool mayUnshare() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(unshare(CLONE_NEWUTS) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#endif

std::vector<NamedKind> namedKinds() {
    std::vector<NamedKind> kinds{
        {"memory-resource",
         "left the default memory resource pointing into the module, which is gone after unload",
         ""},
        {"cin-tie", "left std::cin tied to a stream of its own, which goes with the module", ""},
        {"cout-locale",
         "left the locale of std::cout with a numpunct<char> facet of its own, which is gone "
         "after unload",
         ""},
        {"cout-format", "", "changed the format of std::cout"},
        {"cerr-state", "", "changed the error state of std::cerr"},
        {"cout-exceptions", "", "changed the exception mask of std::cout"},
        {"rounding-mode", "", "changed the floating-point rounding mode to upward"},
        {"fp-trap",
         "left floating-point exception FE_INVALID trapping, so the host's next such operation "
         "ends it",
         ""},
        {"stream-callback",
         "left an event callback of std::cout pointing into the module, which is gone after "
         "unload",
         ""},
        {"stream-word", "", "changed the iword/pword slots of std::cout"},
    };
#if defined(_WIN32)
    const std::vector<NamedKind> windows{
        {"invalid-parameter-handler",
         "left the invalid-parameter handler pointing into the module, which is gone after "
         "unload",
         ""},
        {"purecall-handler",
         "left the pure-call handler pointing into the module, which is gone after unload", ""},
        {"new-mode", "", "changed the new mode to 0x1"},
        {"abort-behaviour", "", "changed the abort behaviour to 0x0"},
        {"error-mode", "", "changed the runtime's error mode to 0x2"},
        {"stdout-translation", "", "changed the translation mode of standard output to 0x8000"},
        {"priority-class", "", "changed the priority class to 0x4000"},
        {"dll-directory", "", "changed the DLL search path (SetDllDirectory)"},
        {"stdout-handle", "", "changed the standard output handle"},
        {"vectored-handler",
         "crashed with exception 0xC0000005 (access violation) in exit, when plugin-host raised "
         "and handled an exception of its own, which runs every vectored exception and continue "
         "handler",
         "", false, true},
        {"fls-callback", "crashed with exception 0xC0000005 (access violation)", "", false, true,
         true},
        {"library", "", "left mpr.dll loaded", true},
    };
    kinds.insert(kinds.end(), windows.begin(), windows.end());
#else
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const std::string hard =
        files.rlim_max == RLIM_INFINITY ? "unlimited" : std::to_string(files.rlim_max);
    cpu_set_t cpus;
    sched_getaffinity(0, sizeof cpus, &cpus);
    int first = 0;
    while (!CPU_ISSET(first, &cpus)) {
        ++first;
    }
    const std::vector<NamedKind> posix{
        {"alarm", "left ITIMER_REAL armed (SIGALRM), whose signal ends the host", ""},
        {"stdout-variable", "left stdout pointing at a FILE of its own, which goes with the module",
         ""},
        {"alternate-stack",
         "left the alternate signal stack in the module, which is gone after unload", ""},
        {"file-limit", "", "changed RLIMIT_NOFILE to 100 (hard " + hard + ")"},
        {"thread-key",
         "left a thread-specific data key whose destructor is in the module, which is gone "
         "after unload",
         ""},
        {"dumpable", "", "set PR_SET_DUMPABLE 0"},
        {"thread-name", "", "set the thread name \"plugin\""},
        {"no-new-privs", "", "set PR_SET_NO_NEW_PRIVS 1", true},
        {"personality", "", "changed the personality to 0x40000"},
        {"nonblocking-stdout", "",
         "set O_NONBLOCK on standard output, whose open file plugin-host shares with its "
         "caller"},
        {"io-priority", "", "changed the I/O priority to class best-effort, level 7"},
        {"numa-policy", "", "changed the NUMA memory policy to mode 1"},
        {"posix-timer", "left a POSIX timer armed, which fires after the plugin has gone", ""},
        {"library", "", "left libresolv.so.2 loaded"},
        {"on-exit", "crashed with signal 11 (Segmentation fault)", "", false, true, true},
    };
    kinds.insert(kinds.end(), posix.begin(), posix.end());
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer makes mlockall do nothing: its shadow memory must not
    // be locked.
    kinds.push_back({"memory-lock", "", "locked all of plugin-host's future memory in RAM"});
#endif
    // Lowering a nice value again takes the right to, over the machine, or
    // RLIMIT_NICE: a contained child, in its own user namespace, has only
    // the limit, which plugin-host raises to its own nice value where it may.
    rlimit nice{};
    getrlimit(RLIMIT_NICE, &nice);
    const auto ours = static_cast<rlim_t>(20 - getpriority(PRIO_PROCESS, 0));
    const bool limitLets = nice.rlim_cur == RLIM_INFINITY || nice.rlim_cur >= ours;
    kinds.push_back({"nice", "", "changed the nice value to 13",
                     !limitLets && !host::guards::holdsCapability(CAP_SYS_NICE), false, false,
                     false, "",
                     !limitLets && nice.rlim_max != RLIM_INFINITY && nice.rlim_max < ours &&
                         !host::guards::holdsCapability(CAP_SYS_RESOURCE)});
    // What only a privileged plugin can change.
    if (geteuid() == 0) {
        kinds.push_back({"supplementary-groups", "", "changed the supplementary groups"});
        kinds.push_back({"capability", "", "changed the effective capabilities"});
    }
    if (mayUnshare()) {
        kinds.push_back({"uts-namespace", "", "moved plugin-host into a new uts namespace", true});
    }
    // Reading it, or turning its echo off: never a child stopped by job
    // control, and never a terminal left that way.
    kinds.push_back({"terminal-echo", "",
                     "changed the settings of the terminal TERMINAL: echo off and canonical mode "
                     "off",
                     false, false, false, true});
    kinds.push_back({"terminal-read", "", "", false, false, false, true});
    // Isolated, the terminal plugin-host holds is out of the plugin's reach:
    // its Landlock domain lets it read plugin-host's descriptors no more than
    // trace it, and its user namespace lets it write no device.
    kinds.push_back({"terminal-echo-by-name", "", "", false, false, false, true, ""});
    if (CPU_COUNT(&cpus) > 1) {
        kinds.push_back(
            {"affinity", "", "changed the CPU affinity to CPU " + std::to_string(first)});
    }
#endif
    return kinds;
}

class KindsByName : public PluginHost, public ::testing::WithParamInterface<NamedKind> {};

TEST_P(KindsByName, AreFoundAloneAndPutBackInBothModes) {
    const NamedKind& kind = GetParam();
    const std::string path = module("fixture_leaves_kind");
    setVariable("FIXTURE_LEAVE", kind.kind);
    for (const char* mode : {"--timeout=20", "--in-process"}) {
        SCOPED_TRACE(mode);
        // Whose it is, and what.
        std::string warning = kind.warning.empty() ? "" : "lifecycle " + kind.warning;
        HostRun run;
#if !defined(_WIN32)
        if (kind.terminal) {
            // A line for each onLoad that reads one.
            const auto onTerminal =
                hostOnTerminal({mode, "--json", "--cycles", "3", path}, "1\n2\n3\n");
            run = onTerminal.run;
            EXPECT_EQ(onTerminal.after.c_lflag, onTerminal.before.c_lflag) << "as it was";
            if (std::string(mode) != "--in-process") {
                warning = kind.isolatedWarning;
            }
            if (const auto at = warning.find("TERMINAL"); at != std::string::npos) {
                warning.replace(at, std::strlen("TERMINAL"), onTerminal.name);
            }
        }
#endif
        if (!kind.terminal) {
            run = host({mode, "--json", "--cycles", "3", path});
        }
        ASSERT_FALSE(run.crashed) << run.err;
        const auto report = nlohmann::json::parse(run.out);
        if (kind.atExit && std::string(mode) == "--in-process") {
            EXPECT_EQ(run.exitCode, 1) << run.err;
            EXPECT_EQ(run.errLines(),
                      std::vector<std::string>{
                          "plugin-host: " + path + ": " + kind.failure +
                          " at exit, in a hook the plugin left that only the end of the process "
                          "runs; run without --in-process to see which test left it"});
        } else if (kind.provoked && std::string(mode) == "--in-process") {
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.errLines(), std::vector<std::string>{});
        } else if (kind.provoked) {
            const std::string cause = kind.failure + (kind.atExit ? " in exit" : "");
            EXPECT_EQ(run.exitCode, 1) << run.err;
            EXPECT_EQ(notPassed(report), std::vector<std::string>{"lifecycle: crashed: " + cause});
            EXPECT_EQ(run.errLines(),
                      std::vector<std::string>{"plugin-host: " + path + ": lifecycle: " + cause});
        } else if (!kind.failure.empty()) {
            EXPECT_EQ(run.exitCode, 1) << run.err;
            EXPECT_EQ(notPassed(report),
                      std::vector<std::string>{"lifecycle: failed: " + kind.failure});
            EXPECT_EQ(run.errLines(), std::vector<std::string>{"plugin-host: " + path +
                                                               ": lifecycle: " + kind.failure});
        } else if (warning.empty()) {
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.errLines(), std::vector<std::string>{});
        } else {
            const bool lasting = std::string(mode) != "--in-process" && kind.lastingIsolated
                                     ? *kind.lastingIsolated
                                     : kind.lasting;
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.errLines(),
                      std::vector<std::string>{
                          "plugin-host: " + path + ": warning [process-state]: " + warning +
                          (lasting ? "; plugin-host cannot put it back, so what "
                                     "ran after it in this process ran with it"
                                   : "; plugin-host put it back")});
        }
    }
    setVariable("FIXTURE_LEAVE", "");
}

// As plugin-host's own process sees it: nothing but the module is loaded.
class NoModule final : public host::guards::CodeMap {
public:
    bool inModule(const void*) const override { return false; }
    bool inLoadedImage(const void* address) const override {
        return loader::Library::inLoadedImage(address);
    }
};

// One cycle of the module in this process, `leftovers` looking at its
// unload as plugin-host's steps do; the failure it finds there, if any.
std::optional<std::string> runCycle(const std::filesystem::path& path, host::Leftovers& leftovers,
                                    int cycle, host::TestReport& report) {
    auto module = loader::PluginModule::open(path);
    auto& plugin = **module.getPlugin();
    plugin.onLoad();
    plugin.onUnload();
    module.deleteMe();
    auto failure = leftovers.atUnload(module.library(), path, cycle, report);
    EXPECT_TRUE(module.unload());
    return failure;
}

// What plugin-host puts back is whole: the host's state, item by item, as a
// look recorded before the plugin ever loaded sees it.
TEST_P(KindsByName, ArePutBackWhole) {
    const NamedKind& kind = GetParam();
    if (kind.lasting || kind.provoked) {
        GTEST_SKIP() << "no process can put it back";
    }
    if (kind.terminal) {
        GTEST_SKIP() << "this program's terminal, if any, is its user's";
    }
    if (kind.kind == "abort-behaviour") {
        GTEST_SKIP() << "GoogleTest turns off in this program what the plugin turns off";
    }
    setVariable("FIXTURE_LEAVE", kind.kind);
    host::guards::StateGuards before;
    host::Options options;
    options.module = builtModule("fixture_leaves_kind");
    options.cycles = 2;
    options.inProcess = true;
    host::TestReport report;
    {
        host::Leftovers leftovers(options);
        for (int cycle = 1; cycle <= options.cycles; ++cycle) {
            EXPECT_EQ(runCycle(options.module, leftovers, cycle, report).value_or(""),
                      kind.failure);
        }
        EXPECT_EQ(leftovers.atEnd(report), std::nullopt);
    }
    // Its text is the other test's: here standard output and error may share
    // one open file, which changes what a line on one of them says.
    EXPECT_EQ(report.stateChanges.size(), kind.warning.empty() ? 0u : 1u);
    for (const auto& left : before.look(NoModule())) {
        ADD_FAILURE() << "not put back: " << left.text;
    }
    setVariable("FIXTURE_LEAVE", "");
}

#if !defined(_WIN32)
// What the module needs, read from its dynamic section, goes with it: it is
// no library left loaded, at the unload or after.
TEST(ModuleClosure, WhatTheModuleNeedsIsNotLeftBehind) {
    host::Options options;
    options.module = builtModule("fixture_needs_library");
    host::TestReport report;
    {
        host::Leftovers leftovers(options);
        EXPECT_EQ(runCycle(options.module, leftovers, 1, report), std::nullopt);
        EXPECT_EQ(leftovers.atEnd(report), std::nullopt);
    }
    EXPECT_EQ(report.stateChanges, std::vector<std::string>{});
}
#endif

// A long lifecycle reads the costly kinds (the working directory is one) at
// its first and last cycle and every 64th: a change is found at the next of
// those, not before.
TEST(CostlyKinds, AreReadAtTheFirstAndLastCycleAndEverySixtyFourth) {
    const auto home = std::filesystem::current_path();
    const auto scratch = std::filesystem::temp_directory_path() /
                         ("costly-kinds-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(scratch / "a");
    std::filesystem::create_directories(scratch / "b");
    host::Options options;
    options.module = builtModule("fixture_noop");
    options.cycles = 130;
    host::TestReport report;
    {
        host::Leftovers leftovers(options);
        auto module = loader::PluginModule::open(options.module);
        const auto changesAfter = [&](int cycle) {
            leftovers.atUnload(module.library(), options.module, cycle, report);
            return report.stateChanges.size();
        };
        // Each move to a folder of its own, so that each is a change of its own.
        std::filesystem::current_path(scratch.root_path());
        EXPECT_EQ(changesAfter(1), 1u);
        std::filesystem::current_path(scratch);
        EXPECT_EQ(changesAfter(2), 1u);
        EXPECT_EQ(changesAfter(63), 1u);
        EXPECT_EQ(changesAfter(64), 2u);
        std::filesystem::current_path(scratch / "a");
        EXPECT_EQ(changesAfter(127), 2u);
        EXPECT_EQ(changesAfter(128), 3u);
        std::filesystem::current_path(scratch / "b");
        EXPECT_EQ(changesAfter(129), 3u);
        EXPECT_EQ(changesAfter(130), 4u);
        EXPECT_TRUE(module.unload());
        EXPECT_EQ(leftovers.atEnd(report), std::nullopt);
    }
    EXPECT_EQ(std::filesystem::current_path(), home);
    std::filesystem::remove_all(scratch);
}

// Records when a step asks whether its watcher's channel was taken, and
// says it was, at the step it is told.
class RecordingObserver final : public host::StepObserver {
public:
    explicit RecordingObserver(std::optional<host::Step> takenAt = std::nullopt)
        : takenAt_(takenAt) {}
    void stepStarted(int cycle, host::Step) override {
        cycle_ = cycle;
        ++started;
    }
    void descriptorRead(const host::DescriptorInfo&) override {}
    std::optional<std::string> takenDuring(host::Step step, bool look) override {
        ++asked;
        if (look) {
            lookedAt.push_back(cycle_);
        }
        if (step == takenAt_) {
            return std::string("took it during ") + host::toString(step);
        }
        return std::nullopt;
    }
    int started = 0;            // steps begun
    int asked = 0;              // steps that asked, at a glance or thoroughly
    std::vector<int> lookedAt;  // the cycle of each step that looked thoroughly

private:
    std::optional<host::Step> takenAt_;
    int cycle_ = 0;
};

// Every step asks about the channel when it ends, so that the step that took
// it is the one blamed; a long lifecycle looks thoroughly in every step of
// its first and last cycle and of every 64th. A step that fails on its own
// is blamed for its own failure, not for the channel it took too.
TEST(Steps, AskAboutTheChannelEachAndLookThoroughlyOnTheCyclesThatReadEverything) {
    host::Options options;
    options.module = builtModule("Velquist");
    options.cycles = 65;
    RecordingObserver observer;
    const auto report =
        host::runContractTest(*host::findContractTest("lifecycle"), options, observer);
    ASSERT_EQ(report.cyclesPassed, 65) << report.cause;
    EXPECT_EQ(observer.asked, observer.started);
    std::vector<int> cycles = observer.lookedAt;
    cycles.erase(std::unique(cycles.begin(), cycles.end()), cycles.end());
    EXPECT_EQ(cycles, (std::vector<int>{1, 64, 65}));

    options.module = builtModule("fixture_throwing_onload");
    options.cycles = 1;
    RecordingObserver taking(host::Step::OnLoad);
    EXPECT_EQ(host::runContractTest(*host::findContractTest("lifecycle"), options, taking).cause,
              "onLoad threw an exception: fixture refuses to load");
}

INSTANTIATE_TEST_SUITE_P(Each, KindsByName, ::testing::ValuesIn(namedKinds()),
                         [](const auto& info) {
                             std::string name = info.param.kind;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

using SoundTwins = PluginHost;

// Every kind at once, each taken back in onUnload: a sound plugin, nothing
// to say, run after run (50 runs, half of them in each mode).
TEST_F(SoundTwins, TakingBackEveryKindPassesStrictWithoutAWord) {
    const std::string path = module("fixture_leaves_kind");
    setVariable("FIXTURE_LEAVE", "every");
    setVariable("FIXTURE_TAKE_BACK", "1");
    for (int run = 0; run < 25; ++run) {
        for (const char* mode : {"--timeout=20", "--in-process"}) {
            SCOPED_TRACE(mode);
            const HostRun result = host({mode, "--strict", "--cycles", "3", path});
            EXPECT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(result.errLines(), std::vector<std::string>{});
        }
    }
    setVariable("FIXTURE_LEAVE", "");
    setVariable("FIXTURE_TAKE_BACK", "");
}

using Reloads = PluginHost;

// What a plugin changed stays changed into its next load, as the real host
// keeps it: a plugin that cannot live with its own first load crashes on
// the second.
TEST_F(Reloads, KeepWhatThePluginChangedSoThatACrashOnReloadShows) {
    const std::string path = module("fixture_crashes_on_reload");
    const HostRun run = host({"--cycles", "2", path});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.errLines(), std::vector<std::string>{"plugin-host: " + path + ": lifecycle: " +
                                                       kSegfault + " in onLoad (cycle 2)"});
}

using LeftOutsideTheSteps = PluginHost;

// Left by a static initialiser, the descriptor test's unload finds it; left
// by a static destructor, after the module is gone, the end of the test does.
TEST_F(LeftOutsideTheSteps, IsFoundAtTheUnloadOrAtTheEndOfTheTest) {
    const std::pair<const char*, const char*> cases[] = {
        {"fixture_leaves_at_load",
         "left the terminate handler pointing into the module, which is gone after unload"},
        {"fixture_leaves_at_unload",
         "left the terminate handler pointing at code that is no longer loaded"}};
    for (const auto& [fixture, cause] : cases) {
        for (const char* mode : {"--timeout=20", "--in-process"}) {
            SCOPED_TRACE(std::string(fixture) + " " + mode);
            const std::string path = module(fixture);
            const HostRun run = host({mode, path});
            EXPECT_FALSE(run.crashed);
            EXPECT_EQ(run.exitCode, 1) << run.err;
            EXPECT_EQ(run.errLines(),
                      std::vector<std::string>{"plugin-host: " + path + ": descriptor: " + cause});
        }
    }
}

// Each takes back in onUnload what it took in onLoad: nothing to say.
TEST_F(SoundTwins, PassStrictWithoutAWord) {
    for (const char* fixture :
         {"fixture_restores_handler", "fixture_joins_worker", "fixture_closes_file"}) {
        for (const char* mode : {"--timeout=20", "--in-process"}) {
            SCOPED_TRACE(std::string(fixture) + " " + mode);
            const HostRun run = host({mode, "--strict", "--cycles", "20", module(fixture)});
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_EQ(run.err, "");
        }
    }
}

using Growth = PluginHost;

TEST_F(Growth, DescriptorsLeftOpenAreAWarningAndAFailureUnderStrict) {
    const std::string path = module("fixture_leaves_descriptor");
#if defined(_WIN32)
    for (const char* mode : {"--timeout=20"}) {  // only the isolated run counts handles
#else
    for (const char* mode : {"--timeout=20", "--in-process"}) {
#endif
        SCOPED_TRACE(mode);
        const HostRun run = host({mode, "--json", "--cycles", "3", path});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        const auto warnings = nlohmann::json::parse(run.out)["warnings"];
        ASSERT_EQ(warnings.size(), 1u) << run.err;
        EXPECT_EQ(warnings[0]["check"], "left-descriptors");
        const auto before = warnings[0]["text"].get<std::string>();
        // The counts differ by mode; the test, the number left and the words do not.
#if defined(_WIN32)
        EXPECT_EQ(before.rfind("lifecycle left 3 handles open (", 0), 0u) << before;
#else
        EXPECT_EQ(before.rfind("lifecycle left 3 descriptors open (", 0), 0u) << before;
#endif
    }
    const HostRun strict = host({"--strict", path});
    EXPECT_EQ(strict.exitCode, 1);
    EXPECT_EQ(strict.errLines().back(),
              "plugin-host: " + path + ": failed under --strict: 1 warning (left-descriptors)");
}

TEST_F(Growth, AMebibyteACycleIsFoundAtOneHundredCycles) {
    const std::string path = module("fixture_leaves_megabyte");
    const HostRun run = host({"--json", "--test", "lifecycle", "--cycles", "100", path});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto warnings = nlohmann::json::parse(run.out)["warnings"];
    ASSERT_EQ(warnings.size(), 1u) << run.err;
    EXPECT_EQ(warnings[0]["check"], "memory-growth");
    const std::string text = warnings[0]["text"];
    EXPECT_EQ(text.rfind("lifecycle's memory grew with every cycle: ", 0), 0u) << text;
    EXPECT_NE(text.find(" KiB from cycle 10 to cycle 100, about "), std::string::npos) << text;
    // A mebibyte a cycle, and what the allocator adds to it (more under sanitizers).
    const long perCycle = std::stol(text.substr(text.rfind("about ") + 6));
    EXPECT_GE(perCycle, 1000) << text;
    EXPECT_LE(perCycle, 1300) << text;
    EXPECT_EQ(host({"--strict", "--test", "lifecycle", "--cycles", "100", path}).exitCode, 1);
}

}  // namespace
