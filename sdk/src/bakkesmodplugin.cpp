#include "bakkesmod/plugin/bakkesmodplugin.h"

// Compiled into every plugin module: the host expects these members, and the
// class's virtual table, to come from the module itself.
namespace BakkesMod::Plugin {

BakkesModPlugin::BakkesModPlugin() = default;
BakkesModPlugin::BakkesModPlugin(const BakkesModPlugin& other) = default;
BakkesModPlugin::BakkesModPlugin(BakkesModPlugin&& other) noexcept = default;
BakkesModPlugin& BakkesModPlugin::operator=(const BakkesModPlugin& other) = default;
BakkesModPlugin& BakkesModPlugin::operator=(BakkesModPlugin&& other) noexcept = default;
// Members go in reverse order of declaration: hostContext, then consoleVariables.
BakkesModPlugin::~BakkesModPlugin() = default;

void BakkesModPlugin::onLoad() {}
void BakkesModPlugin::onUnload() {}

}  // namespace BakkesMod::Plugin
