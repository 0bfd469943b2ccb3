#pragma once

#include <string>
#include <vector>

namespace host {

// In plugin-host's own process (--in-process) a plugin that crashes would
// end plugin-host with the signal and not a word. From watchPluginCrashes()
// on, one line on standard error first names the module, the test, the
// step and its cycle (or operation): "plugin-host: /…/x.so: lifecycle:
// crashed with signal 11 (Segmentation fault) in onLoad (cycle 3)"; then
// the same crash ends the process, where it happened.
void watchPluginCrashes(const std::string& module);

// From now on the operations of a sequence are those of `sequence` ("--sequence
// getPlugin,fill,onLoad", and each operation's name): a crash in one is
// named as the isolated report names it, "explore: --sequence ...:
// operation 3 of 3: onLoad crashed with signal 11 (Segmentation fault)".
void watchSequence(const std::string& sequence, const std::vector<std::string>& operations);

}  // namespace host
