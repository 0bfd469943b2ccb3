// --explore and --sequence on real modules: Velquist holds to the model, and
// each fault of the sequence fixture is found and shrunk to its shortest
// sequence.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "plugin_host_run.h"

namespace {

void chooseFault(const std::string& fault) {
#if defined(_WIN32)
    _putenv_s("FIXTURE_SEQUENCE_FAULT", fault.c_str());
#else
    setenv("FIXTURE_SEQUENCE_FAULT", fault.c_str(), 1);
#endif
}

// Each fault, its shortest sequence and the cause after "--sequence SHORTEST: ".
const std::vector<std::vector<std::string>>& faults() {
    static const std::vector<std::vector<std::string>> rows{
        {"reuses-live-object", "getPlugin,copy,deleteMe,getPlugin",
         "operation 4 of 4: getPlugin broke the model: on an empty holder it gave back an object "
         "that still lives, where the model expects a new one"},
        {"splits-regained", "getPlugin,deleteMe,getPlugin,getPlugin",
         "operation 4 of 4: getPlugin broke the model: the holder holds its object with another "
         "control block than before, where the model expects the same one"},
        {"writes-at-delete", "getPlugin,fill,onLoad,deleteMe",
         "operation 4 of 4: deleteMe broke the model: it changed the console variable "
         "cl_online_status_override from \"online\" to \"offline\", where the model expects only "
         "onLoad and onUnload to change one"},
        {"leaks-regained", "getPlugin,deleteMe,getPlugin,fill,unload",
         "operation 5 of 5: unload broke the model: 1 reference to the console-variable manager is "
         "held, where the model expects 0 (one for each live object the host filled)"},
        {"crashes-in-onload", "getPlugin,fill,onLoad,onLoad",
         "operation 4 of 4: onLoad " + kSegfault},
    };
    return rows;
}

#if defined(_WIN32)
const std::string kTwoLines = "46";  // each ends in \r\n
#else
const std::string kTwoLines = "44";
#endif

class Explore : public PluginHost {
protected:
    void TearDown() override {
        chooseFault("");
        PluginHost::TearDown();
    }
    const std::string fixture = module("fixture_sequence_faults");
};

// Each fault shows in its shortest sequence, and only with the fault; a
// sequence the host may not run is refused in one line.
TEST_F(Explore, ReplaysASequenceAndRefusesAnIllegalOne) {
    for (const auto& fault : faults()) {
        chooseFault(fault[0]);
        const HostRun run = host({"--sequence", fault[1], fixture});
        EXPECT_EQ(run.exitCode, 1) << fault[0];
        EXPECT_EQ(run.errLines(),
                  std::vector<std::string>{"plugin-host: " + fixture + ": explore: --sequence " +
                                           fault[1] + ": " + fault[2]});
        chooseFault("");
        EXPECT_EQ(host({"--sequence", fault[1], fixture}).exitCode, 0) << fault[0];
    }
    // In plugin-host's own process a crash is named as the isolated report
    // names it, its operation too, and then ends plugin-host where it came.
    chooseFault("crashes-in-onload");
    const HostRun inProcess =
        host({"--in-process", "--sequence", "getPlugin,fill,onLoad,onLoad", fixture});
#if defined(_WIN32)
    EXPECT_EQ(static_cast<unsigned>(inProcess.exitCode), 0xC0000005u);
#else
    EXPECT_EQ(inProcess.ending, "signal 11 (Segmentation fault)");
#endif
    EXPECT_EQ(inProcess.errLines(),
              std::vector<std::string>{"plugin-host: " + fixture +
                                       ": explore: --sequence getPlugin,fill,onLoad,onLoad: "
                                       "operation 4 of 4: onLoad " +
                                       kSegfault});
    chooseFault("");
    // A step that fails ends the sequence there, a load too; a fresh object
    // holds nothing, and an empty holder not even a control block.
    struct Row {
        std::string name, fault, sequence;
        std::vector<std::string> lines;  // each after "plugin-host: MODULE: "
    };
    for (const auto& row : std::vector<Row>{
             {"fixture_throwing_onload",
              "",
              "getPlugin,fill,onLoad,deleteMe",
              {"explore: --sequence getPlugin,fill,onLoad,deleteMe: operation 3 of 4: onLoad threw "
               "an exception: fixture refuses to load"}},
             {"fixture_born_with_context",
              "",
              "getPlugin,deleteMe",
              {"explore: --sequence getPlugin,deleteMe: operation 1 of 2: getPlugin broke the "
               "model: on an empty holder it gave back an object that holds handles, where the "
               "model expects a new one with both empty"}},
             {"fixture_sequence_faults",
              "keeps-the-block",
              "getPlugin,deleteMe",
              {"explore: --sequence getPlugin,deleteMe: operation 2 of 2: deleteMe broke the "
               "model: the holder still holds an object, where the model expects it empty"}},
             // Left pointing into the module: found at the unload that leaves it so.
             {"fixture_leaves_signal_handler",
              "",
              "getPlugin,fill,onLoad,unload,load",
              {"explore: --sequence getPlugin,fill,onLoad,unload,load: operation 4 of 5: left the "
               "SIGSEGV handler pointing into the module, which is gone after unload"}},
             {"fixture_sequence_faults",
              "refuses-reload",
              "unload,load",
              {"warning [process-state]: explore changed the environment variable "
               "FIXTURE_SEQUENCE_LOADED; plugin-host put it back",
               "--sequence unload,load: operation 2 of 2: bad descriptor: sdk level 0, this host "
               "takes 95"}}}) {
        chooseFault(row.fault);
        std::vector<std::string> expected;
        for (const auto& line : row.lines) {
            expected.push_back("plugin-host: " + module(row.name) + ": " + line);
        }
        EXPECT_EQ(host({"--sequence", row.sequence, module(row.name)}).errLines(), expected);
    }
    chooseFault("");
    const HostRun illegal = host({"--sequence", "getPlugin,deleteMe,fill", fixture});
    EXPECT_EQ(illegal.exitCode, 2);
    EXPECT_EQ(illegal.errLines(),
              std::vector<std::string>{"plugin-host: --sequence: operation 3, fill, is not one the "
                                       "host may do there: the holder holds no object (see "
                                       "plugin-host --help)"});
}

TEST_F(Explore, SaysWhatRanFromWhichSeedAndWhatItSawBesides) {
    const HostRun run = host({"--explore", "20", "--seed", "5", module("Velquist")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto out = lines(run.out);
    EXPECT_EQ(std::vector<std::string>(out.end() - 3, out.end()),
              (std::vector<std::string>{
                  "explore     20 of 20 sequences from --seed 5", "test        explore  passed",
                  builtModule("Velquist").filename().string() +
                      ": passed 1 of 1 test; every one of 20 sequences held to the model"}));
    // A single sequence: its report still describes the module.
    const std::string velquist = module("Velquist");
    EXPECT_EQ(
        lines(host({"--explore", "1", "--seed", "5", velquist}).out),
        (std::vector<std::string>{
            "module      " + velquist, "descriptor  sdk level 95, kind 1",
            "  class     \"Velquist\"", "  name      \"Plugin to manage online status setting\"",
            "  version   \"1.0\"", "  source    \"Velquist/Velquist.cpp\"",
            "explore     1 of 1 sequence from --seed 5", "test        explore  passed",
            builtModule("Velquist").filename().string() +
                ": passed 1 of 1 test; its one sequence held to the model"}));
    // What passing sequences printed, in the sequences' order.
    const std::string prints = module("fixture_prints");
    const std::string warning = "plugin-host: " + prints +
                                ": warning [plugin-output]: explore wrote " + kTwoLines +
                                " bytes to ";
    EXPECT_EQ(host({"--explore", "50", "--seed", "1", prints}).errLines(),
              (std::vector<std::string>{
                  warning + "standard output; first line: \"hello from the plugin\"",
                  warning + "standard error; first line: \"careful: \\x1B[31mred\\x1B[0m\""}));

    const std::string leaves = module("fixture_leaves_environment_changed");
    EXPECT_EQ(host({"--explore", "50", "--seed", "1", leaves}).errLines(),
              std::vector<std::string>{"plugin-host: " + leaves +
                                       ": warning [process-state]: explore changed the environment "
                                       "variable FIXTURE_LEFT_VARIABLE; plugin-host put it back"});

    chooseFault("splits-regained");
    const auto report =
        nlohmann::json::parse(host({"--json", "--explore", "--seed", "1", fixture}).out);
    EXPECT_EQ(
        report["explore"],
        nlohmann::json({{"seed", 1}, {"sequences", 200}, {"ran", 4}, {"failing", faults()[1][1]}}));
    EXPECT_EQ(notPassed(report), std::vector<std::string>{"explore: failed: --sequence " +
                                                          faults()[1][1] + ": " + faults()[1][2]});
#if !defined(_WIN32)
    // A plugin that signals the process its own was forked from (the fork
    // server) is ended by the containment's seccomp filter: its own sequence
    // ends, not the run, which names it.
    chooseFault("kills-its-parent");
    EXPECT_EQ(host({"--sequence", "getPlugin,fill,onLoad", fixture}).errLines(),
              std::vector<std::string>{"plugin-host: " + fixture +
                                       ": explore: --sequence getPlugin,fill,onLoad: operation 3 "
                                       "of 3: onLoad crashed with signal 31 (Bad system call)"});
#endif
}

// Under wine a child takes a tenth of a second, and under AddressSanitizer
// several times as long as without: there fewer seeds and sequences stand
// for the rest. A seed gives the same sequences on every platform.
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__)
constexpr int kSeeds = 2;
constexpr int kVelquistSequences = 30;
#else
constexpr int kSeeds = 20;
constexpr int kVelquistSequences = 1000;
#endif

// The default number of sequences finds each fault with nearly every seed,
// and shrinks it to exactly its shortest sequence.
TEST_F(Explore, FindsAndShrinksEachFaultWithNearlyEverySeed) {
    const int seeds = kSeeds;
    for (const auto& fault : faults()) {
        chooseFault(fault[0]);
        std::vector<std::string> found(seeds);
        std::atomic<int> next{0};
        const auto worker = [&] {
            for (int seed = next++; seed < seeds; seed = next++) {
                const auto failing = nlohmann::json::parse(
                    host({"--json", "--explore", "--seed", std::to_string(seed + 1), fixture})
                        .out)["explore"]["failing"];
                found[seed] = failing.is_string() ? failing.get<std::string>() : "(none)";
            }
        };
        std::thread other(worker);
        worker();
        other.join();
        EXPECT_GE(std::count(found.begin(), found.end(), fault[1]), seeds - seeds / 20) << fault[0];
        EXPECT_EQ(std::count(found.begin(), found.end(), fault[1]) +
                      std::count(found.begin(), found.end(), "(none)"),
                  seeds)
            << fault[0];
    }
}

TEST_F(Explore, VelquistHoldsToTheModelWithEverySeed) {
    const int count = kVelquistSequences;
    for (const int seed : {1, 2, 3}) {
        const HostRun run = host({"--json", "--explore", std::to_string(count), "--seed",
                                  std::to_string(seed), module("Velquist")});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(
            nlohmann::json::parse(run.out)["explore"],
            nlohmann::json(
                {{"seed", seed}, {"sequences", count}, {"ran", count}, {"failing", nullptr}}));
    }
}

}  // namespace
