// getPlugin makes a new object on every call: only get-plugin-twice can tell.
#include <cstdint>
#include <memory>

#include "bakkesmod/plugin/bakkesmodplugin.h"
#include "bakkesmod/plugin/plugin_descriptor.h"

class FaultyPlugin final : public BakkesMod::Plugin::BakkesModPlugin {
public:
    void onLoad() override {}
    void onUnload() override {}
};

namespace {
std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin> pluginHolder;
}

extern "C" {

BAKKESMOD_PLUGIN_API std::uintptr_t getPlugin() {
    pluginHolder = std::make_shared<FaultyPlugin>();
    return reinterpret_cast<std::uintptr_t>(&pluginHolder);
}

BAKKESMOD_PLUGIN_API void deleteMe() {
    pluginHolder.reset();
}

BAKKESMOD_PLUGIN_API extern const PluginDescriptor exports;
const PluginDescriptor exports = {
    kHostSdkLevel, 0, __FILE__, "FaultyPlugin", "Makes a new object on every getPlugin",
    "1.0",         1, 0,        &getPlugin,     &deleteMe,
};

}  // extern "C"
