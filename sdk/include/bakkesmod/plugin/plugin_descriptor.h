#pragma once

#include <cstddef>
#include <cstdint>

#include "bakkesmod/export.h"

// The sdk level a host of this SDK accepts in a module's descriptor.
inline constexpr std::int32_t kHostSdkLevel = 95;

using PluginCreateEntry = std::uintptr_t (*)();
using PluginDestroyEntry = void (*)();

// The record a module exports under the symbol `exports`. The host reads it
// byte by byte, so every field sits at a fixed offset; the padding is spelled
// out so that it is always zero.
struct PluginDescriptor {
    std::int32_t sdkLevel;
    std::uint32_t padding0;
    const char* sourcePath;
    const char* classLabel;
    const char* displayName;
    const char* versionText;
    std::int32_t kindCode;
    std::uint32_t padding1;
    PluginCreateEntry createEntry;
    PluginDestroyEntry destroyEntry;
};

static_assert(sizeof(void*) == 8, "the descriptor is defined for 64-bit targets");
static_assert(sizeof(PluginDescriptor) == 64);
static_assert(offsetof(PluginDescriptor, sdkLevel) == 0);
static_assert(offsetof(PluginDescriptor, padding0) == 4);
static_assert(offsetof(PluginDescriptor, sourcePath) == 8);
static_assert(offsetof(PluginDescriptor, classLabel) == 16);
static_assert(offsetof(PluginDescriptor, displayName) == 24);
static_assert(offsetof(PluginDescriptor, versionText) == 32);
static_assert(offsetof(PluginDescriptor, kindCode) == 40);
static_assert(offsetof(PluginDescriptor, padding1) == 44);
static_assert(offsetof(PluginDescriptor, createEntry) == 48);
static_assert(offsetof(PluginDescriptor, destroyEntry) == 56);

// Exported symbol names the host resolves.
inline constexpr const char* kDescriptorSymbol = "exports";
inline constexpr const char* kCreateEntrySymbol = "getPlugin";
inline constexpr const char* kDestroyEntrySymbol = "deleteMe";
