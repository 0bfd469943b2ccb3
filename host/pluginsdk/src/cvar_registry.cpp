#include "pluginsdk/cvar_registry.h"

#include <stdexcept>

const char* toString(SdkOperation operation) noexcept {
    switch (operation) {
        case SdkOperation::GetCvar:
            return "getCvar";
        case SdkOperation::SetValue:
            return "setValue";
        case SdkOperation::ReleaseCvar:
            return "~CVarWrapper";
    }
    return "?";
}

CVarRecord& CVarRegistry::add(std::string name, std::string defaultValue) {
    if (auto found = records_.find(name); found != records_.end()) {
        return found->second;
    }
    std::string key = name;
    auto [it, inserted] =
        records_.try_emplace(std::move(key), *this, std::move(name), std::move(defaultValue));
    return it->second;
}

CVarRecord* CVarRegistry::find(std::string_view name) noexcept {
    auto found = records_.find(name);
    return found == records_.end() ? nullptr : &found->second;
}

std::vector<std::string> CVarRegistry::names() const {
    std::vector<std::string> result;
    result.reserve(records_.size());
    for (const auto& entry : records_) {
        result.push_back(entry.first);
    }
    return result;
}

std::map<std::string, std::string, std::less<>> CVarRegistry::snapshot() const {
    std::map<std::string, std::string, std::less<>> result;
    for (const auto& [name, record] : records_) {
        result.emplace(name, record.value);
    }
    return result;
}

void CVarRegistry::failNext(SdkOperation operation, std::string message) {
    if (operation == SdkOperation::ReleaseCvar) {
        throw std::invalid_argument("releasing a console-variable handle cannot fail");
    }
    armedFailures_[operation] = std::move(message);
}

void CVarRegistry::record(SdkOperation operation, const CVarRecord* record,
                          std::string_view argument) {
    if (recording_) {
        calls_.push_back(SdkCall{operation, record != nullptr ? record->name : std::string(),
                                 std::string(argument)});
    }
}

void CVarRegistry::throwIfArmed(SdkOperation operation) {
    if (auto armed = armedFailures_.find(operation); armed != armedFailures_.end()) {
        std::string message = std::move(armed->second);
        armedFailures_.erase(armed);
        throw std::runtime_error(message);
    }
}
