// plugin-host on plugins that leave something of theirs in the host's
// process: each kind alone, in both modes. Whatever points into the module
// fails the test at unload; whatever only changed is a warning; either way
// plugin-host puts the host's state back, so the tests after it still pass.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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

using SoundTwins = PluginHost;

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
