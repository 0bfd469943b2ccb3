#pragma once

#include <string>

#include "steps.h"

namespace host {

// A plugin that ends the process from inside a step (exit, or ExitProcess
// on Windows) would end plugin-host with an exit code of the plugin's
// choosing, 0 among them. In plugin-host's own process a handler that runs
// before the program's own exit work catches it: one line naming the step
// and the code the plugin asked for, then exit code 1. What ends a process
// without its exit handlers (_exit, a kill) only the isolated run sees.
// The step is the one under way (step_under_way.h).
void watchPluginExits(const std::string& module);

// The line the handler writes; `code` is negative where the platform does
// not tell it.
std::string pluginExitLine(const std::string& module, const std::string& test, Step step, int code);

}  // namespace host
