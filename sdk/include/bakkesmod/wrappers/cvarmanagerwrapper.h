#pragma once

#include <string>
#include <vector>

#include "bakkesmod/export.h"
#include "bakkesmod/wrappers/cvarwrapper.h"

class CVarRegistry;

// The host's console-variable manager. Plugins only call getCvar; the rest is
// how the host fills and inspects its registry.
class PLUGINSDK_API CVarManagerWrapper {
public:
    CVarManagerWrapper();
    ~CVarManagerWrapper();
    CVarManagerWrapper(const CVarManagerWrapper&) = delete;
    CVarManagerWrapper& operator=(const CVarManagerWrapper&) = delete;

    // Registers `name` with `defaultValue` as its value. Registering a name
    // that already exists keeps the variable and its current value.
    CVarWrapper registerCvar(std::string name, std::string defaultValue);

    // The handle of the variable called `name`, or a null handle when no such
    // variable is registered.
    CVarWrapper getCvar(std::string name);

    // Names of all registered variables, in ascending order.
    std::vector<std::string> listCvars() const;

    CVarRegistry& registry() noexcept { return *registry_; }
    const CVarRegistry& registry() const noexcept { return *registry_; }

private:
    CVarRegistry* registry_;
};
