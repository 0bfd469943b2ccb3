#pragma once

#include <string>

namespace host {

// In plugin-host's own process (--in-process) a plugin that crashes would
// end plugin-host with the signal and not a word. From watchPluginCrashes()
// on, one line on standard error first names the module, the test, the
// step and its cycle (or operation): "plugin-host: /…/x.so: lifecycle:
// crashed with signal 11 (Segmentation fault) in onLoad (cycle 3)"; then
// the same crash ends the process, where it happened.
void watchPluginCrashes(const std::string& module);

}  // namespace host
