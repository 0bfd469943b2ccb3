#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "built_files.h"

// How plugin-host names a plugin's crash on a null pointer.
#if defined(_WIN32)
inline const std::string kSegfault = "crashed with exception 0xC0000005 (access violation)";
#else
inline const std::string kSegfault = "crashed with signal 11 (Segmentation fault)";
#endif

// A program's output line by line, without the line ends (\r\n on Windows).
inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        result.push_back(line);
    }
    return result;
}

// The tests of a JSON report that did not pass, as "NAME: STATUS: CAUSE".
inline std::vector<std::string> notPassed(const nlohmann::json& report) {
    std::vector<std::string> result;
    for (const auto& test : report["tests"]) {
        if (test["status"] != "passed") {
            // A skipped test has no cause; it still shows, by its status.
            const auto& cause = test["cause"];
            result.push_back(test["name"].get<std::string>() + ": " +
                             test["status"].get<std::string>() + ": " +
                             (cause.is_string() ? cause.get<std::string>() : "(none)"));
        }
    }
    return result;
}

// What one run of the built plugin-host program printed and how it ended.
struct HostRun {
    int exitCode = -1;
    bool crashed = false;
    bool leftProcesses = false;
    std::string out;
    std::string err;

    std::vector<std::string> errLines() const { return lines(err); }
};

inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the built plugin-host program as a user would, with a scratch folder.
class PluginHost : public ::testing::Test {
protected:
    void SetUp() override {
        scratch = std::filesystem::temp_directory_path() /
                  ("plugin-host-test-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(scratch);
    }
    void TearDown() override { std::filesystem::remove_all(scratch); }

    // Read through pipes, as a caller that waits for the end of its output
    // does; plugin-host must leave nothing behind that keeps them open.
    HostRun host(const std::vector<std::string>& arguments,
                 std::optional<std::string> input = std::nullopt) {
        process::Redirect redirect;
        redirect.capture = true;
        redirect.standardInput = std::move(input);
        redirect.captureLimit = std::size_t{64} << 20;
        const auto termination =
            process::run(builtFile(PLUGIN_HOST_FILE_NAME), arguments, redirect);
        EXPECT_FALSE(termination.leftProcesses) << "plugin-host left processes running";
        return HostRun{termination.exitCode, termination.crashed, termination.leftProcesses,
                       termination.standardOutput.head, termination.standardError.head};
    }

    static std::string module(const std::string& name) {
        return process::pathToUtf8(builtModule(name));
    }

    std::string scratchFile(const std::string& name, const std::string& content) {
        const auto path = scratch / name;
        std::ofstream(path, std::ios::binary) << content;
        return process::pathToUtf8(path);
    }

    // A failure is told in exactly one line that names the module and the cause.
    static void expectOneLine(const HostRun& run, const std::string& path,
                              const std::string& cause) {
        const auto lines = run.errLines();
        ASSERT_EQ(lines.size(), 1u) << run.err;
        EXPECT_EQ(lines[0].rfind("plugin-host: " + path + ": ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(cause), std::string::npos) << lines[0];
    }

    std::filesystem::path scratch;
};
