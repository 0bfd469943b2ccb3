#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace host::guards {

// The libraries that go with the module, among those loaded since the host
// recorded (`added`, each with a `name` and the names it `needed`): the
// module, what it needs, and what that needs in turn. Their names are added
// to `modules`, which keeps them for the looks that no longer see the module.
template <typename Library, typename IsModule>
void addModuleClosure(const std::vector<Library>& added, IsModule isModule,
                      std::vector<std::string>& modules) {
    const auto known = [&modules](const std::string& name) {
        return std::find(modules.begin(), modules.end(), name) != modules.end();
    };
    const auto keep = [&](const std::string& name) {
        if (!known(name)) {
            modules.push_back(name);
        }
    };
    for (const Library& library : added) {
        if (isModule(library)) {
            keep(library.name);
        }
    }
    for (std::size_t grown = 0; grown != modules.size();) {
        grown = modules.size();
        for (const Library& library : added) {
            if (known(library.name)) {
                for (const auto& name : library.needed) {
                    keep(name);
                }
            }
        }
    }
}

}  // namespace host::guards
