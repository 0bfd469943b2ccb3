// plugin-host's named tests of the module contract: each catches the fault
// it is meant for, and Velquist passes them all.

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "plugin_host_run.h"

namespace {

std::vector<std::string> names(const nlohmann::json& tests) {
    std::vector<std::string> result;
    for (const auto& test : tests) {
        result.push_back(test.at("name"));
    }
    return result;
}

const std::vector<std::string> kAllTests{"descriptor",          "lifecycle",
                                         "get-plugin-twice",    "delete-before-get",
                                         "fresh-after-delete",  "copy-outlives-delete",
                                         "unload-while-holding"};

using ContractTests = PluginHost;

TEST_F(ContractTests, VelquistPassesEveryTestIsolatedAndInProcess) {
    for (const char* mode : {"--timeout=30", "--in-process"}) {
        SCOPED_TRACE(mode);
        const HostRun run = host({mode, "--json", module("Velquist")});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto report = nlohmann::json::parse(run.out);
        EXPECT_EQ(names(report["tests"]), kAllTests);
        for (const auto& test : report["tests"]) {
            EXPECT_EQ(test["status"], "passed") << test;
            EXPECT_TRUE(test["cause"].is_null()) << test;
        }
    }
}

TEST_F(ContractTests, ListAndChooseTestsByName) {
    const HostRun list = host({"--list-tests"});
    EXPECT_EQ(list.exitCode, 0) << list.err;
    for (const auto& name : kAllTests) {
        EXPECT_NE(list.out.find(name + " "), std::string::npos) << name;
    }

    // Chosen tests run once each, in the listed order.
    const HostRun chosen = host({"--json", "--test", "get-plugin-twice", "--test", "descriptor",
                                 "--test", "get-plugin-twice", module("Velquist")});
    ASSERT_EQ(chosen.exitCode, 0) << chosen.err;
    EXPECT_EQ(names(nlohmann::json::parse(chosen.out)["tests"]),
              (std::vector<std::string>{"descriptor", "get-plugin-twice"}));

    const HostRun unknown = host({"--test", "no-such-test", module("Velquist")});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.errLines().size(), 1u) << unknown.err;
}

TEST_F(ContractTests, AModuleTheHostRefusesSkipsTheRest) {
    const HostRun run = host({"--json", module("fixture_sdk94")});
    EXPECT_EQ(run.exitCode, 2);
    expectOneLine(run, module("fixture_sdk94"), "bad descriptor: sdk level 94");
    const auto tests = nlohmann::json::parse(run.out)["tests"];
    ASSERT_EQ(names(tests), kAllTests);
    EXPECT_EQ(tests[0]["status"], "failed");
    for (std::size_t i = 1; i < tests.size(); ++i) {
        EXPECT_EQ(tests[i]["status"], "skipped") << tests[i];
    }
}

TEST_F(ContractTests, AModuleThatHangsAsItLoadsCostsOneStepLimit) {
    const auto started = std::chrono::steady_clock::now();
    const HostRun run = host({"--json", "--timeout", "2", module("fixture_hanging_load")});
    const auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(run.exitCode, 1);
    expectOneLine(run, module("fixture_hanging_load"), "did not finish within 2 s");
    const auto tests = nlohmann::json::parse(run.out)["tests"];
    ASSERT_EQ(names(tests), kAllTests);
    EXPECT_EQ(tests[0]["status"], "timed out");
    EXPECT_EQ(tests[0]["cause"], "did not finish within 2 s and was killed in load");
    EXPECT_EQ(tests[1]["status"], "skipped");
    EXPECT_LT(waited, std::chrono::seconds(4));  // not a second limit for the other tests
}

struct BrokenRow {
    const char* fixture;
    const char* test;    // the named test meant to catch it
    const char* status;  // how that test ends
    const char* cause;   // part of that test's cause
};

void PrintTo(const BrokenRow& row, std::ostream* out) {
    *out << row.fixture;
}

class ContractTestsOnBrokenRows : public PluginHost,
                                  public ::testing::WithParamInterface<BrokenRow> {};

TEST_P(ContractTestsOnBrokenRows, TheTestMeantForTheRowCatchesIt) {
    const BrokenRow& row = GetParam();
    const HostRun run = host({"--json", module(row.fixture)});
    EXPECT_FALSE(run.crashed);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    expectOneLine(run, module(row.fixture), "");
    const auto report = nlohmann::json::parse(run.out);
    bool found = false;
    for (const auto& test : report["tests"]) {
        if (test["name"] == row.test) {
            found = true;
            EXPECT_EQ(test["status"], row.status) << test;
            EXPECT_NE(test["cause"].get<std::string>().find(row.cause), std::string::npos) << test;
        }
    }
    EXPECT_TRUE(found) << report["tests"];

    // Run alone, it fails the same way.
    const HostRun alone = host({"--json", "--test", row.test, module(row.fixture)});
    EXPECT_EQ(alone.exitCode, 1) << alone.err;
    EXPECT_EQ(nlohmann::json::parse(alone.out)["tests"][0]["status"], row.status);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, ContractTestsOnBrokenRows,
    ::testing::Values(BrokenRow{"fixture_delete_does_nothing", "lifecycle", "failed",
                                "after deleteMe the holder still holds an object"},
                      BrokenRow{"fixture_new_object_every_call", "get-plugin-twice", "failed",
                                "the second getPlugin made another object"},
                      BrokenRow{"fixture_delete_dereferences", "delete-before-get", "crashed",
                                "in deleteMe"},
                      BrokenRow{"fixture_recycles_object", "fresh-after-delete", "failed",
                                "getPlugin after deleteMe gave back an object that still holds"},
                      BrokenRow{"fixture_dies_under_copy", "copy-outlives-delete", "failed",
                                "it died under that copy"},
                      BrokenRow{"fixture_holder_never_released", "unload-while-holding", "failed",
                                "did not release the plugin"}),
    [](const auto& info) { return std::string(info.param.fixture); });

}  // namespace
