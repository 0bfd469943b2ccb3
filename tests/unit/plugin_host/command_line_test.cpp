#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "isolation.h"
#include "process/process.h"

namespace {

using host::Command;
using host::parseCommandLine;

const std::string kModule = process::pathToUtf8(std::filesystem::absolute("plugin.so"));

TEST(Options, AModuleAloneRunsEveryTestOnceWithTheDefaultStepLimit) {
    const auto line = parseCommandLine({"plugin.so"});
    EXPECT_EQ(line.command, Command::Run);
    const host::Options& options = line.options;
    EXPECT_EQ(process::pathToUtf8(options.module), kModule);
    EXPECT_EQ(options.timeoutSeconds, 30.0);
    EXPECT_EQ(options.cycles, 1);
    EXPECT_TRUE(options.presets.empty());
    EXPECT_TRUE(options.tests.empty());
    EXPECT_FALSE(options.json);
    EXPECT_FALSE(options.strict);
    EXPECT_FALSE(options.inProcess);
    EXPECT_TRUE(options.childReport.empty());
}

TEST(Options, EveryFlagIsTaken) {
    const auto options =
        parseCommandLine({"--set", "a=1", "--set", "b=", "--set", "c=x=y", "--cycles", "7",
                          "--timeout", "2.5", "--json", "--strict", "--test", "lifecycle", "--test",
                          "descriptor", "--test", "lifecycle", "plugin.so"})
            .options;
    EXPECT_EQ(options.presets, (std::vector<std::pair<std::string, std::string>>{
                                   {"a", "1"}, {"b", ""}, {"c", "x=y"}}));
    EXPECT_EQ(options.cycles, 7);
    EXPECT_EQ(options.timeoutSeconds, 2.5);
    EXPECT_TRUE(options.json);
    EXPECT_TRUE(options.strict);
    // In the catalog's order, once each.
    EXPECT_EQ(options.tests, (std::vector<std::string>{"descriptor", "lifecycle"}));

    EXPECT_TRUE(parseCommandLine({"--in-process", "plugin.so"}).options.inProcess);
    EXPECT_EQ(parseCommandLine({"--timeout", "0", "plugin.so"}).options.timeoutSeconds, 0.0);
    EXPECT_EQ(parseCommandLine({"--timeout=0.001", "plugin.so"}).options.timeoutSeconds, 0.001);
    EXPECT_EQ(parseCommandLine({"--timeout", "86400", "plugin.so"}).options.timeoutSeconds, 86400);
    EXPECT_EQ(parseCommandLine({"--cycles", "100000000", "plugin.so"}).options.cycles, 100000000);
    // Paths that start with a slash are paths, on every platform.
    const auto slashes = parseCommandLine({"--junit", "/out/j.xml", "/plugins/x.dll"}).options;
    EXPECT_EQ(slashes.junitFile, std::filesystem::path("/out/j.xml"));
    EXPECT_EQ(slashes.module.filename(), std::filesystem::path("x.dll"));
    // No limit is no limit in either mode.
    EXPECT_TRUE(
        parseCommandLine({"--timeout", "0", "--in-process", "plugin.so"}).options.inProcess);
    // What the isolated run's children may reach: folders by the path the
    // file system binds, without a link or a dot left in it.
    const auto here = std::filesystem::canonical(".");
    const auto contained = parseCommandLine({"--allow-network", "--contain", "--writable", ".",
                                             "--writable", (here / "." / "").string(), "plugin.so"})
                               .options;
    EXPECT_TRUE(contained.allowNetwork);
    EXPECT_TRUE(contained.contain);
    EXPECT_EQ(contained.writable, (std::vector<std::filesystem::path>{here, here}));
    const auto plain = parseCommandLine({"plugin.so"}).options;
    EXPECT_FALSE(plain.allowNetwork);
    EXPECT_FALSE(plain.contain);
    EXPECT_TRUE(plain.writable.empty());
    EXPECT_EQ(plain.jobs, 0);  // one per core
    EXPECT_TRUE(plain.skip.empty());
}

// Modules and folders, as typed, in order; --explore's number or the first
// of them; --jobs and --skip, left out in the catalog's order.
TEST(Options, ManyModulesJobsAndSkip) {
    const auto many =
        parseCommandLine({"a.so", "--jobs", "3", "plugins", "b.so", "--skip", "lifecycle", "--skip",
                          "descriptor", "--skip", "lifecycle"});
    EXPECT_EQ(many.modules, (std::vector<std::string>{"a.so", "plugins", "b.so"}));
    EXPECT_EQ(many.options.module, std::filesystem::absolute("a.so"));
    EXPECT_EQ(many.options.jobs, 3);
    EXPECT_EQ(many.options.skip, (std::vector<std::string>{"descriptor", "lifecycle"}));
    EXPECT_EQ(parseCommandLine({"--jobs", "1024", "a.so"}).options.jobs, 1024);
    const auto explore = parseCommandLine({"--explore", "a.so", "b.so"});
    EXPECT_EQ(explore.modules, (std::vector<std::string>{"a.so", "b.so"}));
    EXPECT_EQ(explore.options.explore, 200);
    EXPECT_EQ(parseCommandLine({"--explore", "7", "a.so"}).modules,
              std::vector<std::string>{"a.so"});
}

TEST(Options, ListHelpAndVersionAskForNoModule) {
    EXPECT_EQ(parseCommandLine({"--list-tests"}).command, Command::ListTests);
    const auto help = parseCommandLine({"--help"});
    EXPECT_EQ(help.command, Command::Show);
    EXPECT_NE(help.text.find("--timeout SECONDS"), std::string::npos) << help.text;
    EXPECT_NE(help.text.find("absolute-source-path"), std::string::npos) << help.text;
    EXPECT_NE(help.text.find("Exit codes:\n  0 every test passed"), std::string::npos) << help.text;
    EXPECT_NE(help.text.find("3 plugin-host's own failure"), std::string::npos) << help.text;
    const auto version = parseCommandLine({"--version"});
    EXPECT_EQ(version.command, Command::Show);
    EXPECT_EQ(version.text, "plugin-host 1.0 (host sdk level 95)\n");
}

struct BadLine {
    std::vector<std::string> arguments;
    std::string message;  // the whole message where it is plugin-host's own; else empty
};

void PrintTo(const BadLine& bad, std::ostream* out) {
    for (const auto& argument : bad.arguments) {
        *out << '"' << argument << "\" ";
    }
}

class OptionsRefuse : public ::testing::TestWithParam<BadLine> {};

TEST_P(OptionsRefuse, WithOneLineThatSaysWhy) {
    const BadLine& bad = GetParam();
    try {
        parseCommandLine(bad.arguments);
        FAIL() << "accepted";
    } catch (const host::UsageError& error) {
        const std::string message = error.what();
        EXPECT_FALSE(message.empty());
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        if (!bad.message.empty()) {
            EXPECT_EQ(message, bad.message);
        }
    }
}

const std::string kRange = "--timeout takes 0 (no limit) or 0.001 to 86400 seconds, got ";

BadLine timeout(const std::string& value) {
    return {{"--timeout", value, "plugin.so"}, kRange + "\"" + value + "\""};
}

INSTANTIATE_TEST_SUITE_P(Module, OptionsRefuse,
                         ::testing::Values(BadLine{{}, "MODULE is required"},
                                           BadLine{{""}, "MODULE is required"},
                                           BadLine{{"--frobnicate", "plugin.so"}, ""}));

const std::string kJobs = "--jobs takes a number of children from 1 to 1024, got ";
INSTANTIATE_TEST_SUITE_P(
    JobsAndSkip, OptionsRefuse,
    ::testing::Values(
        BadLine{{"--jobs", "0", "a.so"}, kJobs + "\"0\""},
        BadLine{{"--jobs", "-2", "a.so"}, kJobs + "\"-2\""},
        BadLine{{"--jobs", "many", "a.so"}, kJobs + "\"many\""},
        BadLine{{"--jobs", "1025", "a.so"}, kJobs + "\"1025\""},
        BadLine{{"--jobs", "99999999999", "a.so"}, kJobs + "\"99999999999\""},
        BadLine{{"--jobs", "1", "--jobs", "2", "a.so"}, ""},
        BadLine{{"--skip", "no-such-test", "a.so"}, ""},
        BadLine{{"--skip", "lifecycle", "--test", "descriptor", "a.so"},
                "--skip leaves tests out of all of them and cannot go with --test"},
        BadLine{{"--skip", "lifecycle", "--explore", "a.so"},
                "--skip leaves out named tests and cannot go with --explore"},
        BadLine{{"--skip", "lifecycle", "--sequence", "getPlugin", "a.so"},
                "--skip leaves out named tests and cannot go with --sequence"},
        BadLine{{"--skip", "descriptor", "--skip", "lifecycle", "--skip", "get-plugin-twice",
                 "--skip", "delete-before-get", "--skip", "fresh-after-delete", "--skip",
                 "copy-outlives-delete", "--skip", "unload-while-holding", "a.so"},
                "--skip leaves no test to run"},
        BadLine{{"--together", "--test", "lifecycle", "a.so", "b.so"},
                "--together runs its own test beside all the others and cannot go with --test"},
        BadLine{{"--together", "--sequence", "getPlugin", "a.so", "b.so"},
                "--sequence: operation 1 \"getPlugin\" names no module: with --together each "
                "operation is MODULE:OPERATION, MODULE the module's place in the run from 1, "
                "such as 1:getPlugin"},
        BadLine{{"--together", "--sequence", "1:getPlugin,0:copy", "a.so", "b.so"},
                "--sequence: operation 2 \"0:copy\" names no module: with --together each "
                "operation is MODULE:OPERATION, MODULE the module's place in the run from 1, "
                "such as 1:getPlugin"},
        BadLine{{"--together", "--sequence", "1:getPlugin,2:onLoad", "a.so", "b.so"},
                "--sequence: operation 2, 2:onLoad, is not one the host may do there: the holder "
                "holds no object"},
        BadLine{{"--together", "--sequence", "1:run", "a.so", "b.so"},
                "--sequence: operation 1 \"1:run\" is none of "
                "load,unload,getPlugin,copy,release,fill,onLoad,onUnload,deleteMe"},
        BadLine{{"--sequence", "1:getPlugin", "a.so"},
                "--sequence: operation 1 \"1:getPlugin\" is none of "
                "load,unload,getPlugin,copy,release,fill,onLoad,onUnload,deleteMe"},
        BadLine{{"--child-report", "r", "--test", "lifecycle", "a.so", "b.so"},
                "--child-report takes a file and goes with exactly one --test, --sequence or "
                "--together"}));

INSTANTIATE_TEST_SUITE_P(
    Set, OptionsRefuse,
    ::testing::Values(
        BadLine{{"--set", "novalue", "plugin.so"},
                "--set takes NAME=VALUE with a NAME, got \"novalue\""},
        BadLine{{"--set", "=value", "plugin.so"},
                "--set takes NAME=VALUE with a NAME, got \"=value\""},
        BadLine{{"--set", "", "plugin.so"}, "--set takes NAME=VALUE with a NAME, got \"\""},
        BadLine{{"--set", "a=1", "--set", "a=2", "plugin.so"}, "--set a is given twice"},
        BadLine{{"plugin.so", "--set"}, ""}));

INSTANTIATE_TEST_SUITE_P(Cycles, OptionsRefuse,
                         ::testing::Values(BadLine{{"--cycles", "0", "plugin.so"}, ""},
                                           BadLine{{"--cycles", "-1", "plugin.so"}, ""},
                                           BadLine{{"--cycles", "100000001", "plugin.so"}, ""},
                                           BadLine{{"--cycles", "many", "plugin.so"}, ""},
                                           BadLine{{"--cycles", "1.5", "plugin.so"}, ""},
                                           BadLine{{"--cycles", "", "plugin.so"}, ""},
                                           BadLine{{"plugin.so", "--cycles"}, ""}));

INSTANTIATE_TEST_SUITE_P(
    Timeout, OptionsRefuse,
    ::testing::Values(timeout("nan"), timeout("inf"), timeout("-1"), timeout("0.0009"),
                      timeout("86401"), timeout("1e10"), timeout(""), timeout(" 1"), timeout("1s"),
                      timeout("0x"), BadLine{{"plugin.so", "--timeout"}, ""},
                      BadLine{{"--timeout", "1", "--in-process", "plugin.so"},
                              "--timeout needs the isolated run and cannot go with --in-process"}));

INSTANTIATE_TEST_SUITE_P(
    Repeated, OptionsRefuse,
    ::testing::Values(BadLine{{"--cycles", "1", "--cycles", "2", "plugin.so"}, ""},
                      BadLine{{"--timeout", "1", "--timeout", "2", "plugin.so"}, ""},
                      BadLine{{"--json", "--json", "plugin.so"}, ""},
                      BadLine{{"--strict", "--strict", "plugin.so"}, ""},
                      BadLine{{"--in-process", "--in-process", "plugin.so"}, ""},
                      BadLine{{"--junit", "a.xml", "--junit", "b.xml", "plugin.so"}, ""},
                      BadLine{{"--junit", "", "plugin.so"}, "--junit takes a file name"},
                      BadLine{{"--html", "a.html", "--html", "b.html", "plugin.so"}, ""},
                      BadLine{{"--html", "", "plugin.so"}, "--html takes a file name"}));

INSTANTIATE_TEST_SUITE_P(Tests, OptionsRefuse,
                         ::testing::Values(BadLine{{"--test", "no-such-test", "plugin.so"}, ""},
                                           BadLine{{"--test", "", "plugin.so"}, ""},
                                           BadLine{{"plugin.so", "--test"}, ""}));

// The child's options are plugin-host's own, but anyone can type them.
const std::string kChild =
    "--child-report takes a file and goes with exactly one --test, --sequence or "
    "--together";
INSTANTIATE_TEST_SUITE_P(
    ChildReport, OptionsRefuse,
    ::testing::Values(
        BadLine{{"--child-report", "r", "plugin.so"}, kChild},
        BadLine{{"--child-report", "", "--test", "lifecycle", "plugin.so"}, kChild},
        BadLine{{"--child-report", "r", "--test", "lifecycle", "--test", "descriptor", "plugin.so"},
                kChild},
        BadLine{{"--child-report", "r", "--test", "lifecycle", "--in-process", "plugin.so"},
                kChild},
        BadLine{{"--child-report", "r", "--explore", "plugin.so"}, kChild},
        BadLine{{"plugin.so", "--child-report"}, ""}));

// The containment is the isolated run's: plugin-host's own process has none.
const std::string kNone =
    " is about the isolated run's containment and cannot go with "
    "--in-process, which has none";
const std::string kFile = process::pathToUtf8(process::currentExecutable());
#if defined(_WIN32)
const std::string kMissing;  // in the system's own language
#else
const std::string kMissing = "--writable no such folder: No such file or directory";
#endif
INSTANTIATE_TEST_SUITE_P(
    Containment, OptionsRefuse,
    ::testing::Values(
        BadLine{{"--allow-network", "--in-process", "plugin.so"}, "--allow-network" + kNone},
        BadLine{{"--contain", "--in-process", "plugin.so"}, "--contain" + kNone},
        BadLine{{"--in-process", "--writable", ".", "plugin.so"}, "--writable" + kNone},
        // The system's own words for it.
        BadLine{{"--writable", "no such folder", "plugin.so"}, kMissing},
        BadLine{{"--writable", kFile, "plugin.so"}, "--writable " + kFile + ": not a folder"},
        BadLine{{"--writable", "", "plugin.so"}, ""}, BadLine{{"plugin.so", "--writable"}, ""},
        BadLine{{"--contain", "--contain", "plugin.so"}, ""},
        BadLine{{"--allow-network", "--allow-network", "plugin.so"}, ""}));

// What the model allows: each refusal names the operation and why.
const std::string kExplore = "--explore takes a number of sequences from 1 to 10000000, got ";
const std::string kSeed = "--seed takes a number from 0 to 18446744073709551615, got ";
const std::string kNotHere = "--sequence: operation ";
const std::string kNames = "load,unload,getPlugin,copy,release,fill,onLoad,onUnload,deleteMe";
INSTANTIATE_TEST_SUITE_P(
    Explore, OptionsRefuse,
    ::testing::Values(
        BadLine{{"--explore", "0", "plugin.so"}, kExplore + "\"0\""},
        BadLine{{"--explore", "10000001", "plugin.so"}, kExplore + "\"10000001\""},
        BadLine{{"--explore", "99999999999", "plugin.so"}, kExplore + "\"99999999999\""},
        BadLine{{"--explore", "5x", "plugin.so"}, kExplore + "\"5x\""},
        BadLine{{"--explore", "50"}, "MODULE is required"},
        BadLine{{"--seed", "5", "plugin.so"}, "--seed goes with --explore"},
        BadLine{{"--explore", "--seed", "x", "plugin.so"}, kSeed + "\"x\""},
        BadLine{{"--explore", "--seed", "18446744073709551616", "p.so"},
                kSeed + "\"18446744073709551616\""},
        BadLine{{"--explore", "--sequence", "getPlugin", "plugin.so"},
                "--sequence runs one sequence and cannot go with --explore"},
        BadLine{{"--explore", "--test", "lifecycle", "plugin.so"},
                "--test chooses among the named tests and cannot go with --explore"},
        BadLine{{"--sequence", "getPlugin", "--cycles", "2", "plugin.so"},
                "--cycles repeats the lifecycle and cannot go with --sequence"},
        BadLine{{"--explore", "--in-process", "plugin.so"},
                "--explore runs each sequence in a child process and cannot go with --in-process"},
        BadLine{{"--sequence", "getPlugin,,deleteMe", "p.so"},
                kNotHere + "2 \"\" is none of " + kNames},
        BadLine{{"--sequence", "load", "p.so"},
                kNotHere + "1, load, is not one the host may do there: the module is loaded"},
        BadLine{
            {"--sequence", "unload,getPlugin", "p.so"},
            kNotHere + "2, getPlugin, is not one the host may do there: the module is not loaded"},
        BadLine{{"--sequence", "getPlugin,deleteMe,copy", "p.so"},
                kNotHere + "3, copy, is not one the host may do there: the holder holds no object"},
        BadLine{
            {"--sequence", "getPlugin,onLoad", "p.so"},
            kNotHere +
                "2, onLoad, is not one the host may do there: the object's handles are not filled"},
        BadLine{
            {"--sequence", "release", "p.so"},
            kNotHere + "1, release, is not one the host may do there: the host holds no copy"}));

TEST(Options, ExploreTakesItsNumberOrNoneAndASeed) {
    const std::vector<std::tuple<std::vector<std::string>, int, std::optional<std::uint64_t>>> rows{
        {{"--explore", "plugin.so"}, 200, std::nullopt},
        {{"plugin.so", "--explore"}, 200, std::nullopt},
        {{"--explore=10000000", "--seed", "0", "plugin.so"}, 10000000, 0},
        {{"--explore", "1", "--seed", "18446744073709551615", "plugin.so"},
         1,
         18446744073709551615ULL}};
    for (const auto& [arguments, explore, seed] : rows) {
        const auto options = parseCommandLine(arguments).options;
        EXPECT_EQ(process::pathToUtf8(options.module), kModule) << arguments.front();
        EXPECT_EQ(std::tie(options.explore, options.seed), std::tie(explore, seed));
    }
    const auto replay =
        parseCommandLine({"--sequence", "getPlugin,copy,unload", "--in-process", "p.so"}).options;
    EXPECT_EQ(replay.sequence, "getPlugin,copy,unload");
    EXPECT_TRUE(replay.inProcess);
}

TEST(Options, AChildGetsBackTheOptionsItsTestNeeds) {
    auto parent = parseCommandLine({"--set", "a=1", "--set", "b=", "--cycles", "3", "--strict",
                                    "--json", "--junit", "out/j.xml", "plugin.so"})
                      .options;
    EXPECT_EQ(parent.junitFile, std::filesystem::path("out/j.xml"));
    const auto arguments = host::childArguments(parent, "fresh-after-delete", "report.txt");
    const auto child = parseCommandLine(arguments).options;
    EXPECT_EQ(child.module, parent.module);
    EXPECT_EQ(child.presets, parent.presets);
    EXPECT_EQ(child.cycles, 3);
    EXPECT_EQ(child.tests, std::vector<std::string>{"fresh-after-delete"});
    EXPECT_EQ(child.childReport, std::filesystem::path("report.txt"));
    // The child reports to its parent only; the parent prints and writes.
    EXPECT_FALSE(child.json);
    EXPECT_TRUE(child.junitFile.empty());

    // A sequence's child runs that sequence, and no named test.
    parent.sequence = "getPlugin,fill,onLoad";
    const auto sequenceChild =
        parseCommandLine(host::childArguments(parent, "explore", "report.txt")).options;
    EXPECT_EQ(sequenceChild.sequence, "getPlugin,fill,onLoad");
    EXPECT_TRUE(sequenceChild.tests.empty());
    EXPECT_EQ(sequenceChild.presets, parent.presets);
    EXPECT_EQ(sequenceChild.cycles, 1);
    EXPECT_EQ(sequenceChild.explore, 0);

    // A tagged sequence's child holds every module and runs that sequence.
    auto together = parseCommandLine({"--together", "--sequence", "2:getPlugin,1:unload", "--set",
                                      "a=1", "a.so", "b.so"})
                        .options;
    together.modules = {std::filesystem::absolute("a.so"), std::filesystem::absolute("b.so")};
    const auto togetherChild =
        parseCommandLine(host::childArguments(together, "together", "report.txt")).options;
    EXPECT_TRUE(togetherChild.together);
    EXPECT_EQ(togetherChild.sequence, "2:getPlugin,1:unload");
    EXPECT_EQ(togetherChild.modules, together.modules);
    EXPECT_EQ(togetherChild.presets, together.presets);
    EXPECT_EQ(parseCommandLine({"--together", "--explore", "9", "a.so", "b.so"}).options.explore,
              9);
}

}  // namespace
