#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bakkesmod/export.h"

class CVarRegistry;

// One registered console variable. Records never move once registered, so a
// CVarWrapper can point straight at one.
class CVarRecord {
public:
    CVarRecord(CVarRegistry& owner, std::string name, std::string defaultValue)
        : owner(owner),
          name(std::move(name)),
          defaultValue(defaultValue),
          value(std::move(defaultValue)) {}

    CVarRegistry& owner;
    const std::string name;
    const std::string defaultValue;
    std::string value;
};

// The SDK operations a plugin reaches through its handles.
enum class SdkOperation { GetCvar, SetValue, ReleaseCvar };

PLUGINSDK_API const char* toString(SdkOperation operation) noexcept;

// One call a plugin made into the SDK, as the registry recorded it.
struct SdkCall {
    SdkOperation operation;
    std::string variable;  // empty for a null handle
    std::string argument;  // the name asked for, or the value written

    bool operator==(const SdkCall& other) const {
        return operation == other.operation && variable == other.variable &&
               argument == other.argument;
    }
};

// The host's console-variable storage behind one CVarManagerWrapper, with what
// a host needs to check a plugin: how many handles are still out, an optional
// record of every SDK call, and the means to make the next call fail.
class PLUGINSDK_API CVarRegistry {
public:
    CVarRegistry() = default;
    CVarRegistry(const CVarRegistry&) = delete;
    CVarRegistry& operator=(const CVarRegistry&) = delete;

    CVarRecord& add(std::string name, std::string defaultValue);
    CVarRecord* find(std::string_view name) noexcept;
    std::vector<std::string> names() const;

    // name -> value of every variable, for comparing before and after.
    std::map<std::string, std::string, std::less<>> snapshot() const;

    // Handles currently alive for variables of this registry.
    std::size_t liveHandles() const noexcept { return liveHandles_; }

    void startRecording() { recording_ = true; }
    const std::vector<SdkCall>& calls() const noexcept { return calls_; }
    void clearCalls() noexcept { calls_.clear(); }

    // The next getCvar or setValue throws std::runtime_error(message) before
    // it has any effect. One armed failure per operation; it fires once.
    void failNext(SdkOperation operation, std::string message);

    // Called by the SDK operations themselves.
    void record(SdkOperation operation, const CVarRecord* record, std::string_view argument);
    void throwIfArmed(SdkOperation operation);
    void handleOpened() noexcept { ++liveHandles_; }
    void handleClosed() noexcept { --liveHandles_; }

private:
    std::map<std::string, CVarRecord, std::less<>> records_;
    std::size_t liveHandles_ = 0;
    bool recording_ = false;
    std::vector<SdkCall> calls_;
    std::map<SdkOperation, std::string> armedFailures_;
};
