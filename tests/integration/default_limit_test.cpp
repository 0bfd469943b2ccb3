// The one test that waits out the default step limit: with no flag at all, a
// hung plugin is still stopped, at that limit and not much later.

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "plugin_host_run.h"

TEST_F(PluginHost, HangWithoutAnyFlagIsStoppedAtTheDefaultStepLimit) {
    const std::string path = module("fixture_hanging_getplugin");
    const auto started = std::chrono::steady_clock::now();
    const HostRun run = host({"--json", "--test", "lifecycle", path});
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.errLines(),
              std::vector<std::string>{"plugin-host: " + path +
                                       ": lifecycle: did not finish within 30 s and was killed in "
                                       "getPlugin"});
    EXPECT_EQ(nlohmann::json::parse(run.out)["steps"]["getPlugin"], "timed out");
    EXPECT_GE(waited, std::chrono::seconds(30));
    EXPECT_LT(waited, std::chrono::seconds(40));
}
