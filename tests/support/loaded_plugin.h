#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>

#include "bakkesmod/wrappers/cvarmanagerwrapper.h"
#include "built_files.h"
#include "loader/plugin_module.h"
#include "pluginsdk/cvar_registry.h"
#include "pluginsdk/host_context.h"

inline void PrintTo(const SdkCall& call, std::ostream* out) {
    *out << toString(call.operation) << "(" << call.variable << ", \"" << call.argument << "\")";
}

// The built Velquist module loaded through the loader, as the host loads it,
// with a host registry that knows the variable it writes.
class LoadedVelquist : public ::testing::Test {
protected:
    static constexpr const char* kVariable = "cl_online_status_override";

    void SetUp() override {
        module.emplace(loader::PluginModule::open(builtModule("Velquist")));
        manager->registerCvar(kVariable, "online");
    }

    void TearDown() override {
        if (module) {
            module->deleteMe();
            EXPECT_TRUE(module->unload());
        }
    }

    // The plugin object, with the host's handles filled in.
    BakkesMod::Plugin::BakkesModPlugin& plugin() {
        loader::PluginHolder& holder = *module->getPlugin();
        holder->consoleVariables = manager;
        holder->hostContext = context;
        return *holder;
    }

    // Read straight from the registry, so that reading makes no SDK call.
    std::string value() { return registry().find(kVariable)->value; }
    CVarRegistry& registry() { return manager->registry(); }

    std::optional<loader::PluginModule> module;
    std::shared_ptr<CVarManagerWrapper> manager = std::make_shared<CVarManagerWrapper>();
    std::shared_ptr<HostContext> context = std::make_shared<HostContext>();
};
