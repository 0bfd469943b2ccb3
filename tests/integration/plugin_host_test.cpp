// plugin-host as a user runs it: what it prints, in text and JSON, and how it
// ends, on Velquist and on what is not a usable module.

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "plugin_host_run.h"

namespace {

TEST_F(PluginHost, VelquistPassesAndTheTextShowsTheOverrideCleared) {
    const std::string path = module("Velquist");
    const HostRun run = host({path});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    auto out = lines(run.out);
    ASSERT_EQ(out.size(), 18u) << run.out;
    // The peak varies from run to run; that it is there and positive does not.
    ASSERT_EQ(out[9].rfind("memory      peak ", 0), 0u) << out[9];
    EXPECT_GT(std::stol(out[9].substr(17)), 0);
    out[9] = "memory";
    const std::string name = "Velquist" + std::string(loader::Library::moduleSuffix());
    EXPECT_EQ(
        out,
        (std::vector<std::string>{
            "module      " + path, "descriptor  sdk level 95, kind 1", "  class     \"Velquist\"",
            "  name      \"Plugin to manage online status setting\"", "  version   \"1.0\"",
            "  source    \"Velquist/Velquist.cpp\"",
            "onLoad changed 1 variable:", "  cl_online_status_override: \"online\" -> \"\"",
            "steps       load passed descriptor passed getPlugin passed onLoad passed "
            "onUnload passed deleteMe passed release passed unload passed exit passed",
            "memory", "test        descriptor            passed",
            "test        lifecycle             passed", "test        get-plugin-twice      passed",
            "test        delete-before-get     passed", "test        fresh-after-delete    passed",
            "test        copy-outlives-delete  passed", "test        unload-while-holding  passed",
            name + ": passed 7 of 7 tests; lifecycle passed 1 of 1 cycle, handles "
                   "released, module unloaded"}));
}

TEST_F(PluginHost, JsonReportCarriesDescriptorChangesStepsAndCycles) {
    const HostRun run = host({"--json", "--cycles", "3", "--set", "cl_online_status_override=away",
                              "--set", "other=1", module("Velquist")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["module"], module("Velquist"));
    EXPECT_EQ(report["descriptor"], nlohmann::json::parse(R"({"sdkLevel":95,
        "sourcePath":"Velquist/Velquist.cpp","classLabel":"Velquist",
        "displayName":"Plugin to manage online status setting","versionText":"1.0",
        "kindCode":1})"));
    EXPECT_EQ(
        report["changes"],
        nlohmann::json::parse(R"([{"name":"cl_online_status_override","old":"away","new":""}])"));
    EXPECT_EQ(report["cycles"], nlohmann::json::parse(R"({"requested":3,"passed":3})"));
    for (const auto& [step, status] : report["steps"].items()) {
        EXPECT_EQ(status, "passed") << step;
    }
    EXPECT_EQ(report["released"], true);
    EXPECT_EQ(report["unloaded"], true);
    EXPECT_GT(report["peakResidentKiB"], 0);
    EXPECT_EQ(report["result"], "passed");
    EXPECT_EQ(report["exitCode"], 0);
    EXPECT_TRUE(report["cause"].is_null());
    EXPECT_TRUE(report["warnings"].empty());
    // Standard output holds the report and nothing else, indented by two.
    std::string out = run.out;
    out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
    EXPECT_EQ(out, nlohmann::ordered_json::parse(out).dump(2) + "\n");
}

TEST_F(PluginHost, InProcessRunGivesTheSameVerdict) {
    const HostRun run = host({"--in-process", "--cycles", "5", module("Velquist")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(lines(run.out).back(),
              "Velquist" + std::string(loader::Library::moduleSuffix()) +
                  ": passed 7 of 7 tests; lifecycle passed 5 of 5 cycles, handles released, "
                  "module unloaded");
}

TEST_F(PluginHost, ACrashIsReportedWithItsStepAndCycle) {
    const std::string path = module("fixture_crashing_onload");
    const HostRun run = host({"--json", "--cycles", "2", path});
    EXPECT_EQ(run.exitCode, 1);
    const auto report = nlohmann::json::parse(run.out);
    EXPECT_EQ(report["steps"]["getPlugin"], "passed");
    EXPECT_EQ(report["steps"]["onLoad"], "crashed");
    EXPECT_EQ(report["steps"]["onUnload"], "not run");
    EXPECT_EQ(report["cycles"]["passed"], 0);
    EXPECT_EQ(report["descriptor"]["classLabel"], "FixturePlugin");
    const std::string crash = kSegfault + " in onLoad";
    EXPECT_EQ(report["cause"], "lifecycle: " + crash + " (cycle 1)");
    EXPECT_EQ(run.errLines(), std::vector<std::string>{"plugin-host: " + path +
                                                       ": lifecycle: " + crash + " (cycle 1)"});
}

// The limit is for each step: a run longer than the limit, of steps that are
// each well inside it, passes; so does the longest run anyone asks for.
TEST_F(PluginHost, LongHealthyRunsAreNotCutShortByTheStepLimit) {
    // 8 cycles of 200 ms: the run takes longer than the limit, no step does,
    // even with a sanitizer's start-up on a busy machine.
    const HostRun slow = host({"--timeout", "1", "--cycles", "8", module("fixture_slow_onload")});
    EXPECT_EQ(slow.exitCode, 0) << slow.err;
    EXPECT_NE(slow.out.find("lifecycle passed 8 of 8 cycles"), std::string::npos) << slow.out;

    const HostRun many =
        host({"--json", "--test", "lifecycle", "--cycles", "10000", module("Velquist")});
    EXPECT_EQ(many.exitCode, 0) << many.err;
    EXPECT_EQ(nlohmann::json::parse(many.out)["cycles"]["passed"], 10000);

    // Without a limit, and in process, nothing is timed.
    EXPECT_EQ(host({"--timeout", "0", module("Velquist")}).exitCode, 0);
    EXPECT_EQ(host({"--timeout", "0", "--in-process", module("Velquist")}).exitCode, 0);
}

// Each test's time is its own, from its start to its judgement; the run's
// covers them all, side by side or one after another.
TEST_F(PluginHost, EachTestAndTheRunSayHowLongTheyTook) {
    for (const bool inProcess : {false, true}) {
        std::vector<std::string> args{"--json", "--test", "descriptor", "--test", "lifecycle"};
        if (inProcess) {
            args.push_back("--in-process");
        }
        args.push_back(module("fixture_slow_onload"));  // 200 ms in onLoad
        const HostRun run = host(args);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto report = nlohmann::json::parse(run.out);
        const double descriptor = report["tests"][0]["seconds"];
        const double lifecycle = report["tests"][1]["seconds"];
        EXPECT_GE(lifecycle, 0.2) << inProcess;
        if (inProcess) {
            // It never calls onLoad. Side by side, a child's start (tenths
            // of a second under wine on a busy machine) could outweigh that.
            EXPECT_LT(descriptor, lifecycle);
        }
        EXPECT_GE(report["seconds"].get<double>(), std::max(descriptor, lifecycle)) << inProcess;
    }
}

TEST_F(PluginHost, DescriptorWarningsLeaveTheExitCodeAloneUnlessStrict) {
    const std::string fixture = module("fixture_descriptor_warnings");
    const HostRun run = host({"--json", fixture});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    const std::string source = report["descriptor"]["sourcePath"];
    const std::string absolute =
        "sourcePath \"" + source +
        "\" is an absolute path: it leaks the build machine's folders into the module and makes "
        "builds from two folders differ";
    EXPECT_EQ(report["warnings"],
              nlohmann::json::array({{{"check", "absolute-source-path"}, {"text", absolute}},
                                     {{"check", "empty-descriptor-text"},
                                      {"text", "versionText is an empty string"}}}));
    const std::vector<std::string> warningLines{
        "plugin-host: " + fixture + ": warning [absolute-source-path]: " + absolute,
        "plugin-host: " + fixture +
            ": warning [empty-descriptor-text]: versionText is an empty "
            "string"};
    EXPECT_EQ(run.errLines(), warningLines);
    EXPECT_EQ(lines(host({fixture}).out).back(),
              "fixture_descriptor_warnings" + std::string(loader::Library::moduleSuffix()) +
                  ": passed 7 of 7 tests; lifecycle passed 1 of 1 cycle, handles released, "
                  "module unloaded, 2 warnings");

    const HostRun strict = host({"--strict", fixture});
    EXPECT_EQ(strict.exitCode, 1);
    auto expected = warningLines;
    expected.push_back("plugin-host: " + fixture +
                       ": failed under --strict: 2 warnings (absolute-source-path, "
                       "empty-descriptor-text)");
    EXPECT_EQ(strict.errLines(), expected);

    // Velquist's descriptor is clean, so --strict changes nothing for it.
    const HostRun velquist = host({"--strict", "--json", module("Velquist")});
    EXPECT_EQ(velquist.exitCode, 0) << velquist.err;
    EXPECT_EQ(velquist.err, "");
}

TEST_F(PluginHost, FilesThatAreNotModulesAreRefusedWithExitCodeTwo) {
    std::mt19937 generator(7);
    std::string noise(4096, '\0');
    for (char& c : noise) {
        c = static_cast<char>(generator());
    }
    for (const std::string& path : {scratchFile("empty.so", ""), scratchFile("noise.so", noise),
                                    scratchFile("text.so", "this is not a module\n")}) {
        SCOPED_TRACE(path);
        const HostRun run = host({path});
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, 2);
        // The reason after the prefix is the system loader's own.
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

TEST_F(PluginHost, BadUsageIsOneLineAndExitCodeTwo) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"--set", "=value", module("Velquist")},
                                               {"--cycles", "0", module("Velquist")},
                                               {"--timeout", "nan", module("Velquist")},
                                               {"--test", "no-such-test", module("Velquist")},
                                               {"--child-report", "x", module("Velquist")},
                                               {"--frobnicate", module("Velquist")}}) {
        const HostRun run = host(arguments);
        EXPECT_FALSE(run.crashed);
        EXPECT_EQ(run.exitCode, 2);
        ASSERT_EQ(run.errLines().size(), 1u) << run.err;
        const std::string line = run.errLines()[0];
        EXPECT_EQ(line.rfind("plugin-host: ", 0), 0u) << line;
        const std::string help = " (see plugin-host --help)";
        EXPECT_EQ(line.substr(line.size() - help.size()), help) << line;
        EXPECT_EQ(run.out, "");
    }
}

// The isolated run started by hand with no key, or a key cut short, on its
// standard input: nothing to seal its report with, which it says, with the
// code that makes the failure plugin-host's own.
TEST_F(PluginHost, AnIsolatedRunWithoutAWholeKeyDoesNotStart) {
    const std::string report = process::pathToUtf8(scratch / "report");
    for (const std::string key : {"", "15 bytes, not16"}) {
        SCOPED_TRACE(key);
        const HostRun run =
            host({"--child-report", report, "--test", "lifecycle", module("Velquist")}, key);
        EXPECT_EQ(run.exitCode, 3);
        EXPECT_EQ(
            run.errLines(),
            std::vector<std::string>{"plugin-host (isolated run): no key to seal the report with"});
    }
}

TEST_F(PluginHost, ListTestsPrintsEachTestWithWhatItChecksAndWhatAFailureMeans) {
    const HostRun run = host({"--list-tests"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto out = lines(run.out);
    ASSERT_EQ(out.size(), 21u) << run.out;
    EXPECT_EQ(out[0], "descriptor");
    EXPECT_EQ(out[1].rfind("  checks: ", 0), 0u);
    EXPECT_EQ(out[2].rfind("  a failure usually means: ", 0), 0u);
    EXPECT_EQ(out[18], "unload-while-holding");
}

}  // namespace
