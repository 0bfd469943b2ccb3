// The benchmark program speaks Google Benchmark's own output flags, and every
// machine-readable output carries each benchmark's ratio to its floor.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "built_files.h"

namespace {

// `ratio_to_floor` of the named benchmark's run in a JSON report.
double ratio(const nlohmann::json& report, const std::string& name) {
    for (const auto& run : report.at("benchmarks")) {
        if (run.at("name") == name) {
            return run.value("ratio_to_floor", 0.0);
        }
    }
    ADD_FAILURE() << name << " is not in the report";
    return 0;
}

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ModuleBench, JsonOutputParsesAndCarriesEveryRatio) {
    const auto scratch = std::filesystem::temp_directory_path() /
                         ("module-bench-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(scratch);
    const auto stdoutFile = scratch / "out.json";
    const auto outFile = scratch / "file.json";
    const auto termination = process::run(
        builtFile(MODULE_BENCH_FILE_NAME),
        {"--benchmark_min_time=0.001", "--benchmark_format=json",
         "--benchmark_out=" + process::pathToUtf8(outFile), "--benchmark_out_format=json"},
        {stdoutFile, scratch / "err.txt"});
    ASSERT_EQ(termination.exitCode, 0) << slurp(scratch / "err.txt");

    for (const auto& path : {stdoutFile, outFile}) {
        SCOPED_TRACE(process::pathToUtf8(path));
        const auto report = nlohmann::json::parse(slurp(path));
        EXPECT_GT(ratio(report, "BM_OnLoad"), 0);
        EXPECT_GT(ratio(report, "BM_ModuleCycle"), 0);
        EXPECT_GT(ratio(report, "BM_PluginHostAllTests/real_time"), 0);
        EXPECT_EQ(ratio(report, "BM_OnLoadFloor"), 1);
    }
    std::filesystem::remove_all(scratch);
}

}  // namespace
