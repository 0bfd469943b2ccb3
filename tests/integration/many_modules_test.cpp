// plugin-host on several modules and folders in one run: each module's
// verdict is the one it gets alone, in the order given, with one summary.

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "plugin_host_run.h"
#include "process/process.h"

namespace {

#if defined(_WIN32)
const std::string kExtension = ".dll";
#else
const std::string kExtension = ".so";
#endif

// What changes from one run to the next: times and memory.
std::string withoutTimes(std::string text) {
    text = std::regex_replace(text, std::regex("\r\n"), "\n");  // a Windows console's
    text = std::regex_replace(text, std::regex("peak [0-9]+ KiB"), "peak N KiB");
    return std::regex_replace(text, std::regex("[0-9]+\\.[0-9]+( s)?\n"), "S$1\n");
}

nlohmann::ordered_json withoutTimes(nlohmann::ordered_json json) {
    json.erase("seconds");
    json.erase("peakResidentKiB");
    for (auto& test : json["tests"]) {
        test.erase("seconds");
    }
    return json;
}

class ManyModules : public PluginHost {
protected:
    void SetUp() override {
        PluginHost::SetUp();
        pack = scratch / "pack";
        std::filesystem::create_directories(pack / "nested");
        const auto copy = [&](const std::string& from, const std::string& to) {
            std::filesystem::copy_file(builtModule(from), pack / (to + kExtension));
            return process::pathToUtf8(pack / (to + kExtension));
        };
        sound = copy("Velquist", "a_sound");
        crashing = copy("fixture_crashing_onload", "b_crashing");
        scratchFile("pack/c_junk" + kExtension, "not a module\n");
        junk = process::pathToUtf8(pack / ("c_junk" + kExtension));
        scratchFile("pack/notes.txt", "not one of the folder's modules\n");
        std::filesystem::copy_file(builtModule("fixture_crashing_onload"),
                                   pack / "nested" / ("d_deeper" + kExtension));
    }
    std::filesystem::path pack;
    std::string sound, crashing, junk;
};

// Three modules, one sound, one whose lifecycle crashes, one that cannot be
// loaded: each is reported as it is alone, in the order named, whatever ends
// first; the text ends with the summary; the exit code is the worst.
TEST_F(ManyModules, EachGetsItsVerdictAloneInTheOrderNamed) {
    const std::vector<std::string> named{junk, crashing, sound};
    std::vector<HostRun> alone;
    std::string out, json;
    std::vector<std::string> err;
    for (const auto& module : named) {
        alone.push_back(host({module}));
        out += alone.back().out;
        for (const auto& line : alone.back().errLines()) {
            err.push_back(line);
        }
    }
    const HostRun run = host(named);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.errLines(), err);
    const std::size_t width = std::max({junk.size(), crashing.size(), sound.size()});
    const auto row = [&](const std::string& module, const std::string& tests) {
        return module + std::string(width - module.size() + 2, ' ') + tests + "  0         S\n";
    };
    EXPECT_EQ(withoutTimes(run.out),
              withoutTimes(out) + "\n" + "module" + std::string(width - 4, ' ') +
                  "tests   warnings  seconds\n" + row(junk, "0 of 1") + row(crashing, "6 of 7") +
                  row(sound, "7 of 7") +
                  "3 modules: 1 passed, 2 failed; 13 of 15 tests passed, 0 warnings, S s\n");

    const HostRun jsonRun = host({"--json", junk, crashing, sound});
    EXPECT_EQ(jsonRun.exitCode, 2);
    const auto report = nlohmann::ordered_json::parse(jsonRun.out);
    ASSERT_EQ(report["modules"].size(), 3u);
    for (std::size_t i = 0; i < named.size(); ++i) {
        const auto soloJson = nlohmann::ordered_json::parse(host({"--json", named[i]}).out);
        EXPECT_EQ(withoutTimes(report["modules"][i]), withoutTimes(soloJson)) << named[i];
    }
    EXPECT_EQ(report["passed"], 1);
    EXPECT_EQ(report["failed"], 2);
    EXPECT_EQ(report["exitCode"], 2);
    // Without the module that cannot be used, the worst is a misbehaving plugin.
    EXPECT_EQ(host({sound, crashing}).exitCode, 1);
    EXPECT_EQ(host({sound, sound}).exitCode, 0);
}

// A folder is the modules directly in it, in name order: not a file of
// another kind, not a subfolder's; a module named twice, directly or through
// its folder, runs once, and a note says so.
TEST_F(ManyModules, AFolderIsItsModulesInNameOrderEachOnce) {
    const std::string folder = process::pathToUtf8(pack);
    const HostRun run = host({"--json", sound, folder});
    EXPECT_EQ(run.exitCode, 2);
    const auto report = nlohmann::ordered_json::parse(run.out);
    std::vector<std::string> modules;
    for (const auto& module : report["modules"]) {
        modules.push_back(module["module"]);
    }
    EXPECT_EQ(modules, (std::vector<std::string>{sound, crashing, junk}));
    ASSERT_FALSE(run.errLines().empty());
    EXPECT_EQ(run.errLines().front(),
              "plugin-host: " + sound + ": named more than once; it runs once");
    EXPECT_EQ(run.errLines().size(), 3u);  // the note, and the two modules' failures
}

// A path that names no module, or a folder without one, is refused before
// anything runs, in one line naming it.
TEST_F(ManyModules, ABadPathIsRefusedAndNothingRuns) {
    std::filesystem::create_directories(scratch / "empty");
    scratchFile("empty/readme.txt", "no module here\n");
    const std::string missing = process::pathToUtf8(scratch / "missing" / ("x" + kExtension));
    const std::string empty = process::pathToUtf8(scratch / "empty");
    const std::vector<std::pair<std::string, std::string>> refused{
        {missing, "no such file or folder"},
        {empty, "no module (" + kExtension + ") in this folder"}};
    for (const auto& [path, why] : refused) {
        SCOPED_TRACE(path);
        const HostRun run = host({"--json", sound, path});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.errLines(), std::vector<std::string>{"plugin-host: " + path + ": " + why});
        EXPECT_EQ(run.out, "");
    }
}

// --skip leaves a test out, named as such in every report; --jobs 1 runs
// one child at a time and gives the same verdicts as the default.
TEST_F(ManyModules, SkipAndOneJobAtATime) {
    const HostRun skipped = host({"--json", "--skip", "lifecycle", sound});
    EXPECT_EQ(skipped.exitCode, 0) << skipped.err;
    const auto report = nlohmann::ordered_json::parse(skipped.out);
    for (const auto& test : report["tests"]) {
        if (test["name"] == "lifecycle") {
            EXPECT_EQ(test["status"], "skipped");
            EXPECT_EQ(test["cause"], "left out by --skip");
        } else {
            EXPECT_EQ(test["status"], "passed") << test["name"];
        }
    }
    const HostRun text = host({"--skip", "lifecycle", "--skip", "descriptor", sound});
    EXPECT_EQ(text.exitCode, 0) << text.err;
    const std::string shown = withoutTimes(text.out);
    EXPECT_NE(shown.find("test        lifecycle             skipped: left out by --skip\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(shown.find("a_sound" + kExtension + ": passed 5 of 5 tests\n"), std::string::npos)
        << text.out;

    const std::vector<std::string> modules{sound, crashing, junk};
    std::vector<std::string> one{"--json", "--jobs", "1"}, every{"--json"};
    one.insert(one.end(), modules.begin(), modules.end());
    every.insert(every.end(), modules.begin(), modules.end());
    auto serial = nlohmann::ordered_json::parse(host(one).out);
    auto parallel = nlohmann::ordered_json::parse(host(every).out);
    for (std::size_t i = 0; i < modules.size(); ++i) {
        EXPECT_EQ(withoutTimes(serial["modules"][i]), withoutTimes(parallel["modules"][i]));
    }
}

// Where the modules cannot share the process or its children (in this
// process, or one sequence at a time), they run one after another, each with
// the verdict it gets alone.
TEST_F(ManyModules, InProcessAndExploreRunOneModuleAtATime) {
    std::filesystem::copy_file(builtModule("Velquist"), pack / ("e_sound" + kExtension));
    const std::string other = process::pathToUtf8(pack / ("e_sound" + kExtension));
    const std::vector<std::vector<std::string>> modes{{"--in-process"},
                                                      {"--explore", "20", "--seed", "7"}};
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.front());
        std::vector<std::string> both{"--json"};
        both.insert(both.end(), mode.begin(), mode.end());
        both.push_back(sound);
        both.push_back(other);
        const HostRun run = host(both);
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const auto report = nlohmann::ordered_json::parse(run.out);
        ASSERT_EQ(report["modules"].size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            std::vector<std::string> alone(both.begin(), both.end() - 2);
            alone.push_back(i == 0 ? sound : other);
            const auto solo = nlohmann::ordered_json::parse(host(alone).out);
            EXPECT_EQ(withoutTimes(report["modules"][i]), withoutTimes(solo)) << i;
        }
    }
}

}  // namespace
