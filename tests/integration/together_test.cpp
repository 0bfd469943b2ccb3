// plugin-host --together: the modules side by side in one process, as the
// host holds a plugin folder, each fault blamed on the module that made it.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plugin_host_run.h"
#include "process/process.h"

namespace {

// Constants, not strings made at start-up: the table below is made then too.
#if defined(_WIN32)
constexpr const char* kExtension = ".dll";
constexpr const char* kInvalidOperation =
    "crashed with exception 0xC0000090 (floating-point invalid operation)";
constexpr const char* kNullPointer = "crashed with exception 0xC0000005 (access violation)";
#else
constexpr const char* kExtension = ".so";
constexpr const char* kInvalidOperation = "crashed with signal 8 (Floating point exception)";
constexpr const char* kNullPointer = "crashed with signal 11 (Segmentation fault)";
#endif

// Every test of a module's own left out: only the together test runs.
const std::vector<std::string> kOnlyTogether{"--together", "--json",
                                             "--skip",     "descriptor",
                                             "--skip",     "lifecycle",
                                             "--skip",     "get-plugin-twice",
                                             "--skip",     "delete-before-get",
                                             "--skip",     "fresh-after-delete",
                                             "--skip",     "copy-outlives-delete",
                                             "--skip",     "unload-while-holding"};

struct Module {
    std::string fixture;                // built module
    std::string result;                 // its together test: "STATUS: CAUSE", or "passed"
    std::vector<std::string> warnings;  // "CHECK: TEXT"
    std::vector<std::string> changes;   // "NAME: BEFORE -> AFTER"
};

struct Row {
    const char* name;
    std::string leave;  // FIXTURE_LEAVE, what fixture_leaves_kind leaves
    std::vector<Module> modules;
    int exitCode;
    std::vector<std::string> options = {};
};

std::string file(const std::string& fixture) {
    return fixture + kExtension;
}

const std::string kTrapping =
    "left floating-point exception FE_INVALID trapping, so the host's next such operation ends it";
const std::string kFacet =
    "left the global C++ locale with a numpunct<char> facet of its own, which is gone after unload";
const std::string kShared = "each changed the console variable cl_online_status_override: ";
const std::string kSharedObject =
    "shared-object: fixture_shares_inline.so and fixture_shares_inline_too.so both define the "
    "unique symbol SharedCount::loads: the process binds both to one object, "
    "fixture_shares_inline.so's, which each reads and writes, and keeps both loaded for good";

const std::vector<Row> kRows {
    // The first leaves floating-point traps on; the second's harmless 0.0 / 0.0 ends the process.
    {"fp_traps",
     "fp-trap",
     {{"fixture_leaves_kind", "failed: " + kTrapping, {}, {}},
      {"fixture_uses_numbers",
       "crashed: " + std::string(kInvalidOperation) + " in " + file("fixture_uses_numbers") +
           ": onLoad; " + file("fixture_leaves_kind") + "'s onLoad " + kTrapping,
       {},
       {}}},
     1},
        // The middle one leaves traps on; the one unloaded while they stay is not blamed.
        {"left_by_the_middle",
         "fp-trap",
         {{"Velquist", "passed", {}, {"cl_online_status_override: \"online\" -> \"\""}},
          {"fixture_leaves_kind", "failed: " + kTrapping, {}, {}},
          {"fixture_noop", "passed", {}, {}}},
         1},
        // The first's global locale writes a comma where the second means a point.
        {"locale",
         "",
         {{"fixture_leaves_locale_facet", "failed: " + kFacet, {}, {}},
          {"fixture_uses_numbers", "passed", {}, {"fixture_number: \"0\" -> \"1,5\""}}},
         1},
        // Both write one variable: the load order decides, and both hear of it.
        {"shared_variable",
         "",
         {{"Velquist",
           "passed",
           {"shared-variable: " + file("Velquist") + " and " + file("fixture_sets_status_away") +
            " " + kShared + file("Velquist") + " to \"\" and " + file("fixture_sets_status_away") +
            " to \"away\"; the load order left \"\", " + file("Velquist") + "'s"},
           {"cl_online_status_override: \"online\" -> \"\"",
            "cl_online_status_override: \"away\" -> \"\""}},
          {"fixture_sets_status_away",
           "passed",
           {"shared-variable: " + file("Velquist") + " and " + file("fixture_sets_status_away") +
            " " + kShared + file("Velquist") + " to \"\" and " + file("fixture_sets_status_away") +
            " to \"away\"; the load order left \"\", " + file("Velquist") + "'s"},
           {"cl_online_status_override: \"\" -> \"away\""}}},
         0},
        // One ends the process as it loads: it is blamed, the others could not finish.
        {"ends_the_process",
         "",
         {{"Velquist",
           "skipped: not run to its end: the process ended in " + file("fixture_exits_in_onload") +
               ": onLoad",
           {},
           {"cl_online_status_override: \"online\" -> \"\""}},
          {"fixture_exits_in_onload",
           "crashed: ended without a report (exit code 0) in " + file("fixture_exits_in_onload") +
               ": onLoad",
           {},
           {}},
          {"fixture_noop",
           "skipped: not run to its end: the process ended in " + file("fixture_exits_in_onload") +
               ": onLoad",
           {},
           {}}},
         1},
        // Each cycle loads every module again: the second's reload crashes.
        {"cycles",
         "",
         {{"Velquist",
           "skipped: not run to its end: the process ended in " +
               file("fixture_crashes_on_reload") + ": onLoad",
           {},
           {"cl_online_status_override: \"online\" -> \"\""}},
          {"fixture_crashes_on_reload",
           "crashed: " + std::string(kNullPointer) + " in " + file("fixture_crashes_on_reload") +
               ": onLoad",
           {"process-state: together changed the environment variable FIXTURE_LOADED_BEFORE; "
            "plugin-host put it back"},
           {}}},
         1,
         {"--cycles", "2"}},
#if !defined(_WIN32)
        // Both define one inline variable: the process binds both to the first's.
        {"shared_object",
         "",
         {{"fixture_shares_inline",
           "failed: the module stayed in memory after it was unloaded",
           {kSharedObject},
           {}},
          {"fixture_shares_inline_too", "passed", {kSharedObject}, {}}},
         1},
#endif
};

class Together : public PluginHost, public ::testing::WithParamInterface<Row> {};

std::vector<std::string> warningsOf(const nlohmann::json& module) {
    std::vector<std::string> found;
    for (const auto& warning : module["warnings"]) {
        found.push_back(warning["check"].get<std::string>() + ": " +
                        warning["text"].get<std::string>());
    }
    return found;
}

std::vector<std::string> changesOf(const nlohmann::json& module) {
    std::vector<std::string> found;
    for (const auto& change : module.value("togetherChanges", nlohmann::json::array())) {
        found.push_back(change["name"].get<std::string>() + ": \"" +
                        change["old"].get<std::string>() + "\" -> \"" +
                        change["new"].get<std::string>() + "\"");
    }
    return found;
}

TEST_P(Together, EachModuleHasItsOwnResultAndTheBlameIsTheOnesWhoseStepItWas) {
    const Row& row = GetParam();
    std::vector<std::string> arguments = kOnlyTogether;
    arguments.insert(arguments.end(), {"--set", "fixture_number=0"});
    arguments.insert(arguments.end(), row.options.begin(), row.options.end());
    for (const auto& one : row.modules) {
        arguments.push_back(module(one.fixture));
    }
    setVariable("FIXTURE_LEAVE", row.leave);
    const HostRun run = host(arguments);
    setVariable("FIXTURE_LEAVE", "");
    EXPECT_EQ(run.exitCode, row.exitCode) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    ASSERT_EQ(report["modules"].size(), row.modules.size());
    for (std::size_t i = 0; i < row.modules.size(); ++i) {
        const Module& expected = row.modules[i];
        const auto& module = report["modules"][i];
        SCOPED_TRACE(expected.fixture);
        const auto& together = module["tests"].back();
        EXPECT_EQ(together["name"], "together");
        const std::string result =
            together["status"].get<std::string>() +
            (together["cause"].is_string() ? ": " + together["cause"].get<std::string>() : "");
        EXPECT_EQ(result, expected.result);
        EXPECT_EQ(warningsOf(module), expected.warnings);
        EXPECT_EQ(changesOf(module), expected.changes);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Together, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Three copies of a sound module under three names, with every test: each
// keeps an object of its own while another is unloaded and loaded again,
// and all pass; one module is no run together.
TEST_F(PluginHost, TogetherASoundFolderPassesAndOneModuleIsRefused) {
    const auto folder = scratch / "pack";
    std::filesystem::create_directories(folder);
    for (const char* name : {"a", "b", "c"}) {
        std::filesystem::copy_file(builtModule("Velquist"),
                                   folder / (std::string(name) + kExtension));
    }
    const HostRun run = host({"--together", "--json", process::pathToUtf8(folder)});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    ASSERT_EQ(report["modules"].size(), 3u);
    for (const auto& module : report["modules"]) {
        EXPECT_EQ(notPassed(module), std::vector<std::string>{}) << module["module"];
        EXPECT_EQ(module["tests"].size(), 8u);
    }
    // The first sets the variable; the others find it set.
    EXPECT_EQ(report["modules"][0]["togetherChanges"].size(), 1u);
    EXPECT_EQ(report["modules"][1]["togetherChanges"].size(), 0u);

    // A module the host refuses is left out, as from its other tests; the
    // others are held together without it.
    const std::string junk = scratchFile("junk" + std::string(kExtension), "not a module\n");
    const HostRun refused =
        host({"--together", "--json", process::pathToUtf8(folder / (std::string("a") + kExtension)),
              junk, process::pathToUtf8(folder / (std::string("b") + kExtension))});
    EXPECT_EQ(refused.exitCode, 2);
    const auto withJunk = nlohmann::json::parse(refused.out);
    EXPECT_EQ(withJunk["modules"][1]["tests"].back()["status"], "skipped");
    EXPECT_EQ(notPassed(withJunk["modules"][2]), std::vector<std::string>{});

    const std::string one = process::pathToUtf8(folder / (std::string("a") + kExtension));
    const HostRun alone = host({"--together", one, one});
    EXPECT_EQ(alone.exitCode, 2);
    EXPECT_EQ(alone.errLines(),
              (std::vector<std::string>{
                  "plugin-host: " + one + ": named more than once; it runs once",
                  "plugin-host: --together holds two or more modules side by side and was given "
                  "one (see plugin-host --help)"}));
    EXPECT_EQ(alone.out, "");
}

// A tagged sequence replays one interleaving: the second module's crash
// comes only after the first's onLoad, and is blamed on it with what the
// first left. A tag no module of the run has is refused with its place.
TEST_F(PluginHost, TogetherSequenceReplaysAnInterleaving) {
    const std::string first = module("fixture_leaves_kind");
    const std::string second = module("fixture_uses_numbers");
    const std::string trapping =
        "left floating-point exception FE_INVALID trapping, so the "
        "host's next such operation ends it";
    setVariable("FIXTURE_LEAVE", "fp-trap");
    const std::string crashing = "1:getPlugin,1:fill,1:onLoad,2:getPlugin,2:fill,2:onLoad";
    const HostRun crashed = host({"--together", "--sequence", crashing, first, second});
    EXPECT_EQ(crashed.exitCode, 1);
    EXPECT_EQ(
        crashed.errLines(),
        (std::vector<std::string>{"plugin-host: " + first + ": together: --sequence " + crashing +
                                      ": operation 3 of 6: " + trapping,
                                  "plugin-host: " + second + ": together: --sequence " + crashing +
                                      ": operation 6 of 6: 2:onLoad " + kInvalidOperation + "; " +
                                      file("fixture_leaves_kind") + "'s onLoad " + trapping}));
    const std::string sound = "2:getPlugin,2:fill,2:onLoad,1:getPlugin,1:fill,1:onLoad";
    const HostRun passing = host({"--together", "--sequence", sound, first, second});
    setVariable("FIXTURE_LEAVE", "");
    EXPECT_EQ(passing.errLines(),
              std::vector<std::string>{"plugin-host: " + first + ": together: --sequence " + sound +
                                       ": operation 6 of 6: " + trapping});

    const HostRun refused =
        host({"--together", "--sequence", "1:getPlugin,3:getPlugin", first, second});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.errLines(),
              std::vector<std::string>{
                  "plugin-host: --sequence: operation 2 \"3:getPlugin\" names no module of the "
                  "run, which holds 2 (1 to 2 in the order given) (see plugin-host --help)"});
    EXPECT_EQ(refused.out, "");

    // A module that cannot be loaded stops the sequence at its first load.
    const std::string junk = scratchFile("junk" + std::string(kExtension), "not a module\n");
    const HostRun unusable =
        host({"--together", "--json", "--sequence", "2:getPlugin", junk, module("Velquist")});
    EXPECT_EQ(unusable.exitCode, 2);
    const auto report = nlohmann::json::parse(unusable.out);
    EXPECT_EQ(report["modules"][0]["tests"][0]["status"], "failed");
    EXPECT_EQ(report["modules"][1]["tests"][0]["cause"],
              "not run to its end: the sequence stopped at the first load of junk" +
                  std::string(kExtension) + ", which failed");
    EXPECT_TRUE(report["modules"][1]["descriptor"].is_null()) << "loaded after all";
}

// Two copies of a module that crashes when it finds the mark its onLoad
// leaves: neither fails alone in one load, and --explore finds where one
// loads after the other, and shrinks it to its six operations.
TEST_F(PluginHost, TogetherExploreFindsAFailingInterleavingAndShrinksIt) {
    const auto folder = scratch / "pair";
    std::filesystem::create_directories(folder);
    for (const char* name : {"first", "second"}) {
        std::filesystem::copy_file(builtModule("fixture_crashes_on_reload"),
                                   folder / (std::string(name) + kExtension));
    }
    const HostRun run = host(
        {"--together", "--explore", "40", "--seed", "1", "--json", process::pathToUtf8(folder)});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const std::string shrunk = "1:getPlugin,1:fill,1:onLoad,2:getPlugin,2:fill,2:onLoad";
    const auto report = nlohmann::json::parse(run.out);
    ASSERT_EQ(report["modules"].size(), 2u);
    for (const auto& module : report["modules"]) {
        EXPECT_EQ(module["explore"]["failing"], shrunk);
        EXPECT_EQ(module["tests"].size(), 1u);
    }
    EXPECT_EQ(report["modules"][0]["tests"][0]["cause"],
              "not run to its end: the process ended in operation 6 of 6, 2:onLoad");
    EXPECT_EQ(report["modules"][1]["tests"][0]["cause"],
              "--sequence " + shrunk + ": operation 6 of 6: 2:onLoad " + kNullPointer + "; first" +
                  kExtension + "'s onLoad changed the environment variable FIXTURE_LOADED_BEFORE");
}

// Sequences that all pass say each different outcome once: the load order
// leaves one module's value or the other's.
TEST_F(PluginHost, TogetherExploreThatPassesSaysEachWarningOnce) {
    const HostRun run = host({"--together", "--explore", "60", "--seed", "1", "--json",
                              module("Velquist"), module("fixture_sets_status_away")});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    const auto report = nlohmann::json::parse(run.out);
    const std::string velquist = file("Velquist");
    const std::string away = file("fixture_sets_status_away");
    const std::vector<std::string> expected{
        "shared-variable: " + velquist + " and " + away + " " + kShared + velquist +
            " to \"\" and " + away + " to \"away\"; the load order left \"away\", " + away + "'s",
        "shared-variable: " + away + " and " + velquist + " " + kShared + away +
            " to \"away\" and " + velquist + " to \"\"; the load order left \"\", " + velquist +
            "'s"};
    for (const auto& module : report["modules"]) {
        EXPECT_EQ(warningsOf(module), expected);
    }
}

}  // namespace
