#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "plugin_host_run.h"

namespace {

TEST_F(PluginHost, VelquistPassesAndShowsTheOverrideCleared) {
    const HostRun run = host({module("Velquist")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("cl_online_status_override: \"online\" -> \"\""), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Velquist" + std::string(loader::Library::moduleSuffix()) +
                           ": passed 7 of 7 tests; lifecycle passed 1 of 1 cycle"),
              std::string::npos)
        << run.out;
}

TEST_F(PluginHost, JsonReportCarriesDescriptorChangesStepsAndCycles) {
    const HostRun run = host({"--json", "--cycles", "3", "--set", "cl_online_status_override=away",
                              "--set", "other=1", module("Velquist")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["descriptor"]["classLabel"], "Velquist");
    EXPECT_EQ(report["descriptor"]["sdkLevel"], 95);
    EXPECT_EQ(
        report["changes"],
        nlohmann::json::parse(R"([{"name":"cl_online_status_override","old":"away","new":""}])"));
    EXPECT_EQ(report["cycles"]["passed"], 3);
    EXPECT_EQ(report["steps"]["onLoad"], "passed");
    EXPECT_EQ(report["steps"]["release"], "passed");
    EXPECT_EQ(report["released"], true);
    EXPECT_EQ(report["unloaded"], true);
    EXPECT_EQ(report["result"], "passed");
}

TEST_F(PluginHost, InProcessRunGivesTheSameVerdict) {
    const HostRun run = host({"--in-process", "--cycles", "5", module("Velquist")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("passed 5 of 5 cycles"), std::string::npos) << run.out;
}

struct BadModule {
    const char* fixture;
    int exitCode;
    const char* cause;
    bool isolatedOnly;  // in process it would take the test down, or never end
};

void PrintTo(const BadModule& bad, std::ostream* out) {
    *out << bad.fixture;
}

class PluginHostOnBadModules : public PluginHost,
                               public ::testing::WithParamInterface<BadModule> {};

TEST_P(PluginHostOnBadModules, ReportsTheFaultWithItsExitCode) {
    const BadModule& bad = GetParam();
    for (const bool inProcess : {false, true}) {
        // A crash in process would take the test down with it.
        if (inProcess && bad.isolatedOnly) {
            continue;
        }
        const std::vector<std::string> arguments{inProcess ? "--in-process" : "--timeout=3",
                                                 "--json", module(bad.fixture)};
        const HostRun run = host(arguments);
        SCOPED_TRACE(inProcess ? "in process" : "isolated");
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, bad.exitCode) << run.err;
        expectOneLine(run, module(bad.fixture), bad.cause);
        const auto report = nlohmann::json::parse(run.out);
        EXPECT_EQ(report["exitCode"], bad.exitCode);
        EXPECT_EQ(report["cause"].get<std::string>().find(bad.cause) != std::string::npos, true);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, PluginHostOnBadModules,
    ::testing::Values(
        BadModule{"fixture_no_exports", 2, "no exported symbol \"exports\"", false},
        BadModule{"fixture_sdk94", 2, "sdk level 94, this host takes 95", false},
        BadModule{"fixture_empty_holder", 1, "getPlugin gave back an empty holder", false},
        BadModule{"fixture_throwing_onload", 1,
                  "onLoad threw an exception: fixture refuses to load", false},
        BadModule{"fixture_crashing_onload", 1, "crashed with", true},
        BadModule{"fixture_hanging_onload", 1, "did not finish within 3 s and was killed in onLoad",
                  true},
        BadModule{"fixture_leaky", 1, "the plugin kept 1 reference to the console-variable manager",
                  false},
        BadModule{"fixture_resident", 1, "the module stayed in memory after it was unloaded",
                  false}),
    [](const auto& info) { return std::string(info.param.fixture); });

TEST_F(PluginHost, CrashIsReportedWithTheStepWhereItHappened) {
    const HostRun run = host({"--json", "--cycles", "2", module("fixture_crashing_onload")});
    EXPECT_EQ(run.exitCode, 1);
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["steps"]["getPlugin"], "passed");
    EXPECT_EQ(report["steps"]["onLoad"], "crashed");
    EXPECT_EQ(report["steps"]["onUnload"], "not run");
    EXPECT_EQ(report["descriptor"]["classLabel"], "FixturePlugin");
#if defined(_WIN32)
    const std::string crash = "crashed with exception 0xC0000005 (access violation) in onLoad";
#else
    const std::string crash = "crashed with signal 11 (Segmentation fault) in onLoad";
#endif
    EXPECT_EQ(report["cause"], "lifecycle: " + crash + " (cycle 1)");
}

TEST_F(PluginHost, HangIsKilledAtTheTimeoutAndReportedAtItsStep) {
    const HostRun run = host({"--json", "--timeout", "0.5", module("fixture_hanging_onload")});
    EXPECT_EQ(run.exitCode, 1);
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["steps"]["getPlugin"], "passed");
    EXPECT_EQ(report["steps"]["onLoad"], "timed out");
    // A timeout needs a child to kill.
    EXPECT_EQ(host({"--in-process", "--timeout", "1", module("Velquist")}).exitCode, 2);
}

TEST_F(PluginHost, HangWithoutAnyFlagIsStoppedAtTheDefaultStepLimit) {
    const auto started = std::chrono::steady_clock::now();
    const HostRun run = host({"--json", module("fixture_hanging_getplugin")});
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(run.exitCode, 1);
    expectOneLine(run, module("fixture_hanging_getplugin"),
                  "did not finish within 30 s and was killed in getPlugin");
    EXPECT_EQ(nlohmann::json::parse(run.out)["steps"]["getPlugin"], "timed out");
    EXPECT_GE(waited, std::chrono::seconds(30));
    EXPECT_LT(waited, std::chrono::seconds(50));
}

// The limit is for each step: a run longer than the limit, of steps that are
// each well inside it, passes; so does the longest run anyone asks for.
TEST_F(PluginHost, LongHealthyRunsAreNotCutShortByTheStepLimit) {
    const HostRun slow = host({"--timeout", "0.5", "--cycles", "4", module("fixture_slow_onload")});
    EXPECT_EQ(slow.exitCode, 0) << slow.err;
    EXPECT_NE(slow.out.find("passed 4 of 4 cycles"), std::string::npos) << slow.out;

    const HostRun many = host({"--cycles", "10000", module("Velquist")});
    EXPECT_EQ(many.exitCode, 0) << many.err;
    EXPECT_NE(many.out.find("passed 10000 of 10000 cycles"), std::string::npos) << many.out;

    // Without a limit, and in process, nothing is timed.
    EXPECT_EQ(host({"--timeout", "0", module("Velquist")}).exitCode, 0);
    EXPECT_EQ(host({"--timeout", "0", "--in-process", module("Velquist")}).exitCode, 0);
}

TEST_F(PluginHost, DescriptorWarningsLeaveTheExitCodeAloneUnlessStrict) {
    const std::string fixture = module("fixture_descriptor_warnings");
    const HostRun run = host({"--json", fixture});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    ASSERT_EQ(report["warnings"].size(), 2u) << report["warnings"];
    EXPECT_EQ(report["warnings"][0]["check"], "absolute-source-path");
    EXPECT_EQ(report["warnings"][1]["check"], "empty-descriptor-text");
    EXPECT_EQ(report["warnings"][1]["text"], "versionText is an empty string");
    const auto lines = run.errLines();
    ASSERT_EQ(lines.size(), 2u) << run.err;
    EXPECT_EQ(lines[0].rfind("plugin-host: " + fixture + ": warning [absolute-source-path]: ", 0),
              0u)
        << lines[0];

    const HostRun strict = host({"--strict", fixture});
    EXPECT_EQ(strict.exitCode, 1);
    ASSERT_EQ(strict.errLines().size(), 3u) << strict.err;
    EXPECT_EQ(strict.errLines()[2], "plugin-host: " + fixture +
                                        ": failed under --strict: 2 warnings "
                                        "(absolute-source-path, empty-descriptor-text)");

    // Velquist's descriptor is clean, so --strict changes nothing for it.
    const HostRun velquist = host({"--strict", "--json", module("Velquist")});
    EXPECT_EQ(velquist.exitCode, 0) << velquist.err;
    EXPECT_EQ(velquist.err, "");
    EXPECT_TRUE(nlohmann::json::parse(velquist.out)["warnings"].empty());
}

TEST_F(PluginHost, FilesThatAreNotModulesAreRefusedWithExitCodeTwo) {
    std::mt19937 generator(7);
    std::string noise(4096, '\0');
    for (char& c : noise) {
        c = static_cast<char>(generator());
    }
    const std::string missing = process::pathToUtf8(scratch / "missing.so");
    const std::string folder = process::pathToUtf8(scratch);
    for (const std::string& path :
         {scratchFile("empty.so", ""), scratchFile("noise.so", noise),
          scratchFile("text.so", "this is not a module\n"), folder, missing}) {
        SCOPED_TRACE(path);
        const HostRun run = host({path});
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, 2);
        expectOneLine(run, path, "cannot be loaded: ");
        EXPECT_EQ(run.err.find('%'), std::string::npos) << "unfilled insert: " << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(PluginHost, ModuleUnderANonAsciiPathLoads) {
    const auto folder = scratch / process::pathFromUtf8("pl\xC3\xBCgins \xE2\x9C\x93");
    std::filesystem::create_directories(folder);
    const auto copy = folder / builtModule("Velquist").filename();
    std::filesystem::copy_file(builtModule("Velquist"), copy);
    const HostRun run = host({"--json", process::pathToUtf8(copy)});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out)["module"], process::pathToUtf8(copy));
}

TEST_F(PluginHost, BadUsageExitsWithTwoAndSaysWhy) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"--set", "novalue", module("Velquist")},
                                               {"--cycles", "0", module("Velquist")},
                                               {"--cycles", "many", module("Velquist")},
                                               {"--frobnicate", module("Velquist")}}) {
        const HostRun run = host(arguments);
        EXPECT_EQ(run.exitCode, 2);
        ASSERT_EQ(run.errLines().size(), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("plugin-host: ", 0), 0u) << run.err;
    }
}

}  // namespace
