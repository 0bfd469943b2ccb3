#include "exit_watch.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "process/process.h"
#include "step_under_way.h"
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

[[noreturn]] void endAsPluginExit(int code) {
    const PluginPlace& place = pluginPlace();
    if (!place.during) {
        std::_Exit(code);  // not a plugin's doing: the exit goes on as asked
    }
    process::OwnOutputCapture::releaseForExit();
    const std::string line = pluginExitLine(watchedModule, place.test, place.step, code) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    std::_Exit(static_cast<int>(Outcome::Misbehaved));
}

#if defined(_WIN32)
void atProcessExit() {
    if (pluginPlace().during) {
        endAsPluginExit(-1);
    }
}
#else
void atProcessExit(int code, void*) {
    if (pluginPlace().during) {
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

std::string pluginExitLine(const std::string& module, const std::string& test, Step step,
                           int code) {
    std::string line = "plugin-host: " + module + ": " + test + ": the plugin ended the process";
    if (code >= 0) {
        line += " with exit code " + std::to_string(code);
    }
    return line + " in " + toString(step);
}

}  // namespace host
