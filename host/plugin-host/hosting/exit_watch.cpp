#include "exit_watch.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "process/process.h"
#include "test_report.h"
#include "text_escape.h"

#if defined(_WIN32)
#include <io.h>
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace host {

namespace {

std::string watchedModule;
const std::string* currentTest = nullptr;
std::atomic<int> currentStep{-1};

[[noreturn]] void endAsPluginExit(int code) {
    const int step = currentStep.load();
    if (step < 0 || currentTest == nullptr) {
        std::_Exit(code);  // not a plugin's doing: the exit goes on as asked
    }
    process::OwnOutputCapture::releaseForExit();
    const std::string line =
        pluginExitLine(watchedModule, *currentTest, static_cast<Step>(step), code) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    std::_Exit(static_cast<int>(Outcome::Misbehaved));
}

#if defined(_WIN32)
void atProcessExit() {
    if (currentStep.load() >= 0) {
        endAsPluginExit(-1);
    }
}
#else
void atProcessExit(int code, void*) {
    if (currentStep.load() >= 0) {
        endAsPluginExit(code);
    }
}
#endif

}  // namespace

void watchPluginExits(const std::string& module) {
    static bool registered = false;
    watchedModule = escapedText(module);
    if (!registered) {
        registered = true;
#if defined(_WIN32)
        std::atexit(atProcessExit);
#else
        on_exit(atProcessExit, nullptr);
#endif
    }
}

StepUnderWay::StepUnderWay(const std::string& test, Step step) noexcept {
    currentTest = &test;
    currentStep = static_cast<int>(step);
}

StepUnderWay::~StepUnderWay() {
    currentStep = -1;
}

std::string pluginExitLine(const std::string& module, const std::string& test, Step step,
                           int code) {
    std::string line = "plugin-host: " + module + ": " + test + ": the plugin ended the process";
    if (code >= 0) {
        line += " with exit code " + std::to_string(code);
    }
    return line + " in " + toString(step);
}

}  // namespace host
