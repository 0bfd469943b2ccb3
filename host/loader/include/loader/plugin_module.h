#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bakkesmod/plugin/bakkesmodplugin.h"
#include "bakkesmod/plugin/plugin_descriptor.h"
#include "loader/library.h"

namespace loader {

// What a module's getPlugin hands out the address of.
using PluginHolder = std::shared_ptr<BakkesMod::Plugin::BakkesModPlugin>;

// The library loaded, but it is not a plugin module this host can use.
class ModuleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A plugin module with its descriptor and entry points resolved.
class PluginModule {
public:
    // Loads the library and resolves `exports`, `getPlugin` and `deleteMe`.
    // Throws LoadError when the file cannot be loaded, ModuleError when a
    // symbol is missing.
    static PluginModule open(const std::filesystem::path& path);

    const PluginDescriptor& descriptor() const noexcept { return *descriptor_; }

    // Why the descriptor cannot be accepted; empty when it can.
    std::vector<std::string> descriptorProblems() const;

    // Calls the module's getPlugin; nullptr when it gave back no address.
    PluginHolder* getPlugin() const;
    void deleteMe() const;

    // Unloads the module; true when it left the process.
    bool unload() { return library_.unload(); }
    void abandon() noexcept { library_.abandon(); }

    const Library& library() const noexcept { return library_; }

private:
    PluginModule(Library library, const PluginDescriptor* descriptor, PluginCreateEntry create,
                 PluginDestroyEntry destroy) noexcept
        : library_(std::move(library)),
          descriptor_(descriptor),
          create_(create),
          destroy_(destroy) {}

    Library library_;
    const PluginDescriptor* descriptor_;
    PluginCreateEntry create_;
    PluginDestroyEntry destroy_;
};

}  // namespace loader
