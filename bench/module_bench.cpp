// What Velquist costs the host, against floors measured in the same run:
// onLoad against the host making the same SDK calls itself, a whole module
// cycle against the same cycle on a plugin that does nothing, and
// plugin-host's seven tests against one of them. Each
// benchmark with a floor carries its ratio to it as the counter
// "ratio_to_floor", in every output format; a summary of the fastest
// repetitions goes to standard error.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bakkesmod/wrappers/cvarmanagerwrapper.h"
#include "floor_ratio_reporter.h"
#include "loader/plugin_module.h"
#include "pluginsdk/host_context.h"
#include "process/process.h"

namespace {

constexpr const char* kVariable = "cl_online_status_override";

std::filesystem::path besideThisProgram(const std::string& name) {
    return process::currentExecutable().parent_path() / (name + loader::Library::moduleSuffix());
}

std::shared_ptr<CVarManagerWrapper> hostManager() {
    auto manager = std::make_shared<CVarManagerWrapper>();
    manager->registerCvar(kVariable, "online");
    return manager;
}

void BM_OnLoadFloor(benchmark::State& state) {
    auto manager = hostManager();
    for (auto _ : state) {
        manager->getCvar(kVariable).setValue("");
    }
}

void BM_OnLoad(benchmark::State& state) {
    auto manager = hostManager();
    auto module = loader::PluginModule::open(besideThisProgram("Velquist"));
    auto& plugin = **module.getPlugin();
    plugin.consoleVariables = manager;
    for (auto _ : state) {
        plugin.onLoad();
    }
    module.deleteMe();
}

void moduleCycle(benchmark::State& state, const char* name) {
    const auto path = besideThisProgram(name);
    auto manager = hostManager();
    auto context = std::make_shared<HostContext>();
    for (auto _ : state) {
        auto module = loader::PluginModule::open(path);
        auto& plugin = **module.getPlugin();
        plugin.consoleVariables = manager;
        plugin.hostContext = context;
        plugin.onLoad();
        plugin.onUnload();
        module.deleteMe();
        if (!module.unload()) {
            state.SkipWithError("the module stayed loaded");
            break;
        }
    }
}

void BM_ModuleCycleFloor(benchmark::State& state) {
    moduleCycle(state, "fixture_noop");
}
void BM_ModuleCycle(benchmark::State& state) {
    moduleCycle(state, "Velquist");
}

void BM_LoaderFloor(benchmark::State& state) {
    const auto path = besideThisProgram("empty_library");
    for (auto _ : state) {
        auto library = loader::Library::open(path);
        benchmark::DoNotOptimize(library.symbol("empty_library_marker"));
        library.unload();
    }
}

// One run of plugin-host as a user starts it; false when it did not pass.
bool runPluginHost(const std::vector<std::string>& arguments) {
    const auto program = process::currentExecutable().parent_path() /
                         ("plugin-host" + process::currentExecutable().extension().string());
    process::Redirect quiet;
    quiet.capture = true;
    return process::run(program, arguments, quiet).exitCode == 0;
}

// plugin-host on Velquist as a user runs it, in a run of its own: all seven
// tests against the floor of one, whose cost is mostly starting processes.
void pluginHostRun(benchmark::State& state, std::vector<std::string> arguments) {
    arguments.push_back(process::pathToUtf8(besideThisProgram("Velquist")));
    for (auto _ : state) {
        if (!runPluginHost(arguments)) {
            state.SkipWithError("plugin-host did not pass Velquist");
            break;
        }
    }
}

// A folder of 16 copies of Velquist under 16 names, as a plugin store holds
// its uploads; removed when the benchmark ends.
class SixteenCopies {
public:
    static constexpr int kCount = 16;
    SixteenCopies()
        : folder_(std::filesystem::temp_directory_path() /
                  ("velquist-bench-" + std::to_string(std::random_device{}()))) {
        std::filesystem::create_directories(folder_);
        const auto velquist = besideThisProgram("Velquist");
        for (int i = 0; i < kCount; ++i) {
            const auto copy =
                folder_ / ("plugin-" + std::to_string(10 + i) + velquist.extension().string());
            std::filesystem::copy_file(velquist, copy,
                                       std::filesystem::copy_options::overwrite_existing);
            modules_.push_back(process::pathToUtf8(copy));
        }
    }
    ~SixteenCopies() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    std::string folder() const { return process::pathToUtf8(folder_); }
    const std::vector<std::string>& modules() const { return modules_; }

private:
    std::filesystem::path folder_;
    std::vector<std::string> modules_;
};

const SixteenCopies& sixteenCopies() {
    static const SixteenCopies copies;
    return copies;
}

// The loop a plugin store would write without a folder run: 16 runs of all
// seven tests, one after another.
void BM_SixteenModulesFloor(benchmark::State& state) {
    for (auto _ : state) {
        for (const auto& module : sixteenCopies().modules()) {
            if (!runPluginHost({module})) {
                state.SkipWithError("plugin-host did not pass a copy of Velquist");
                return;
            }
        }
    }
}
// The same 16 modules in one run, every core busy.
void BM_SixteenModules(benchmark::State& state) {
    for (auto _ : state) {
        if (!runPluginHost({sixteenCopies().folder()})) {
            state.SkipWithError("plugin-host did not pass the folder of copies of Velquist");
            break;
        }
    }
}

void BM_PluginHostAllTestsFloor(benchmark::State& state) {
    pluginHostRun(state, {"--test", "lifecycle"});
}
void BM_PluginHostAllTests(benchmark::State& state) {
    pluginHostRun(state, {});
}

// With repetitions, the fastest one is reported too: on a shared machine
// noise only ever adds time.
double fastest(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

// Floors first: a ratio needs its floor measured already.
BENCHMARK(BM_OnLoadFloor)->ComputeStatistics("min", fastest);
BENCHMARK(BM_OnLoad)->ComputeStatistics("min", fastest);
BENCHMARK(BM_ModuleCycleFloor)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", fastest);
BENCHMARK(BM_ModuleCycle)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", fastest);
BENCHMARK(BM_LoaderFloor)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", fastest);
// By the clock on the wall: the time is the children's, not this program's.
BENCHMARK(BM_PluginHostAllTestsFloor)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", fastest);
BENCHMARK(BM_PluginHostAllTests)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", fastest);
BENCHMARK(BM_SixteenModulesFloor)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", fastest);
BENCHMARK(BM_SixteenModules)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ComputeStatistics("min", fastest);

const std::map<std::string, std::string> kFloors{
    {"BM_OnLoad", "BM_OnLoadFloor"},
    {"BM_ModuleCycle", "BM_ModuleCycleFloor"},
    {"BM_PluginHostAllTests", "BM_PluginHostAllTestsFloor"},
    {"BM_SixteenModules", "BM_SixteenModulesFloor"}};

// The value of --NAME=VALUE on the command line, or `otherwise`.
std::string flag(int argc, char** argv, const std::string& name, const std::string& otherwise) {
    const std::string prefix = "--" + name + "=";
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
            return argv[i] + prefix.size();
        }
    }
    return otherwise;
}

// The reporter Google Benchmark itself would write --benchmark_out with.
std::unique_ptr<benchmark::BenchmarkReporter> fileReporter(const std::string& format) {
    if (format == "csv") {
        // Deprecated, but the library still writes csv when asked; so do we.
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
        return std::make_unique<benchmark::CSVReporter>();
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif
    }
    if (format == "console") {
        return std::make_unique<benchmark::ConsoleReporter>(benchmark::ConsoleReporter::OO_None);
    }
    return std::make_unique<benchmark::JSONReporter>();
}

void printSummary(const std::map<std::string, double>& fastest) {
    const auto ratio = [&fastest](const char* measured, const char* floor, const char* target) {
        if (fastest.count(measured) != 0 && fastest.count(floor) != 0) {
            std::fprintf(stderr, "%-21s / %-26s = %.3f   (target %s)\n", measured, floor,
                         fastest.at(measured) / fastest.at(floor), target);
        }
    };
    std::fprintf(stderr, "\nfastest repetition, ratio against its floor:\n");
    ratio("BM_OnLoad", "BM_OnLoadFloor", "<= 1.10");
    ratio("BM_ModuleCycle", "BM_ModuleCycleFloor", "<= 1.10");
    ratio("BM_PluginHostAllTests", "BM_PluginHostAllTestsFloor", "<= 2.00");
    ratio("BM_SixteenModules", "BM_SixteenModulesFloor", "<= 0.60");
    if (fastest.count("BM_LoaderFloor") != 0 && fastest.count("BM_ModuleCycleFloor") != 0) {
        std::fprintf(stderr, "%-20s   %.1f us (a C++ plugin cycle costs %.1fx the bare loader)\n",
                     "BM_LoaderFloor", fastest.at("BM_LoaderFloor") * 1e6,
                     fastest.at("BM_ModuleCycleFloor") / fastest.at("BM_LoaderFloor"));
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Read before Initialize, which takes the library's flags out of argv.
    const bool writingFile = !flag(argc, argv, "benchmark_out", "").empty();
    const std::string fileFormat = flag(argc, argv, "benchmark_out_format", "json");
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    FloorRatioReporter display(*benchmark::CreateDefaultDisplayReporter(), kFloors);
    std::unique_ptr<benchmark::BenchmarkReporter> fileDelegate;
    std::unique_ptr<FloorRatioReporter> file;
    if (writingFile) {
        fileDelegate = fileReporter(fileFormat);
        file = std::make_unique<FloorRatioReporter>(*fileDelegate, kFloors);
    }
    benchmark::RunSpecifiedBenchmarks(&display, file.get());
    benchmark::Shutdown();
    printSummary(display.fastest());
    return 0;
}
