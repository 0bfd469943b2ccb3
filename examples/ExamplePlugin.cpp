// A plugin module: the plugin class, its one object, the two entries and the
// descriptor the host reads.
#include <cstdint>
#include <memory>

#include "bakkesmod/plugin/bakkesmodplugin.h"
#include "bakkesmod/plugin/plugin_descriptor.h"
#include "bakkesmod/wrappers/cvarmanagerwrapper.h"

class ExamplePlugin final : public BakkesMod::Plugin::BakkesModPlugin {
public:
    void onLoad() override {
        if (consoleVariables) {
            consoleVariables->getCvar("example_greeting").setValue("hello");
        }
    }
    void onUnload() override {}
};

namespace {
std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin> pluginHolder;
}

extern "C" {

BAKKESMOD_PLUGIN_API std::uintptr_t getPlugin() {
    if (!pluginHolder) {
        pluginHolder = std::make_shared<ExamplePlugin>();
    }
    return reinterpret_cast<std::uintptr_t>(&pluginHolder);
}

BAKKESMOD_PLUGIN_API void deleteMe() {
    pluginHolder.reset();
}

BAKKESMOD_PLUGIN_API extern const PluginDescriptor exports;
const PluginDescriptor exports = {
    kHostSdkLevel, 0, __FILE__, "ExamplePlugin", "An example plugin",
    "1.0",         1, 0,        &getPlugin,      &deleteMe,
};

}  // extern "C"
