#include "Velquist.h"

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "bakkesmod/plugin/plugin_descriptor.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"

void Velquist::onLoad() {
    // A host that calls onLoad before handing over its manager would otherwise
    // take its whole process down on a null dereference.
    if (!consoleVariables) {
        return;
    }
    std::string value;
    std::string name = "cl_online_status_override";
    CVarWrapper variable = consoleVariables->getCvar(std::move(name));
    variable.setValue(std::move(value));
}

// Restoring the earlier value is deliberately not done: the override stays
// cleared for the rest of the host's session.
void Velquist::onUnload() {}

namespace {
// The single plugin object, shared with whatever copies the host takes. The
// host reads it through the address getPlugin gives back.
std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin> pluginHolder;
}  // namespace

extern "C" {

BAKKESMOD_PLUGIN_API std::uintptr_t getPlugin() {
    if (!pluginHolder) {
        // The object first, then its control block; if either allocation
        // fails nothing has been assigned yet and the holder stays as it was.
        pluginHolder = std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin>(new Velquist());
    }
    return reinterpret_cast<std::uintptr_t>(&pluginHolder);
}

BAKKESMOD_PLUGIN_API void deleteMe() {
    pluginHolder.reset();
}

BAKKESMOD_PLUGIN_API extern const PluginDescriptor exports;
const PluginDescriptor exports = {
    kHostSdkLevel, 0, __FILE__, "Velquist", "Plugin to manage online status setting",
    "1.0",         1, 0,        &getPlugin, &deleteMe,
};

}  // extern "C"
