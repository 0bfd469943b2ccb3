#include "loader/plugin_module.h"

#include <cstring>
#include <string>

namespace loader {

namespace {

void* require(const Library& library, const char* name) {
    void* address = library.symbol(name);
    if (address == nullptr) {
        throw ModuleError(std::string("no exported symbol \"") + name + "\"");
    }
    return address;
}

template <typename Function>
Function asFunction(void* address) noexcept {
    Function function;
    static_assert(sizeof(function) == sizeof(address));
    std::memcpy(&function, &address, sizeof(address));
    return function;
}

}  // namespace

PluginModule PluginModule::open(const std::filesystem::path& path) {
    Library library = Library::open(path);
    auto* descriptor = static_cast<const PluginDescriptor*>(require(library, kDescriptorSymbol));
    auto create = asFunction<PluginCreateEntry>(require(library, kCreateEntrySymbol));
    auto destroy = asFunction<PluginDestroyEntry>(require(library, kDestroyEntrySymbol));
    return PluginModule(std::move(library), descriptor, create, destroy);
}

std::vector<std::string> PluginModule::descriptorProblems() const {
    std::vector<std::string> problems;
    const PluginDescriptor& d = *descriptor_;
    if (d.sdkLevel != kHostSdkLevel) {
        problems.push_back("sdk level " + std::to_string(d.sdkLevel) + ", this host takes " +
                           std::to_string(kHostSdkLevel));
    }
    const std::pair<const char*, const char*> texts[] = {{"sourcePath", d.sourcePath},
                                                         {"classLabel", d.classLabel},
                                                         {"displayName", d.displayName},
                                                         {"versionText", d.versionText}};
    for (const auto& [field, text] : texts) {
        if (text == nullptr) {
            problems.push_back(std::string("descriptor field ") + field + " is null");
        }
    }
    if (d.createEntry != create_) {
        problems.push_back("descriptor createEntry is not the exported getPlugin");
    }
    if (d.destroyEntry != destroy_) {
        problems.push_back("descriptor destroyEntry is not the exported deleteMe");
    }
    return problems;
}

PluginHolder* PluginModule::getPlugin() const {
    return reinterpret_cast<PluginHolder*>(create_());
}

void PluginModule::deleteMe() const {
    destroy_();
}

}  // namespace loader
