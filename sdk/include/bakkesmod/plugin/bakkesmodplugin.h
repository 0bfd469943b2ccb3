#pragma once

#include <cstddef>
#include <exception>
#include <memory>

#include "bakkesmod/export.h"

class CVarManagerWrapper;
class HostContext;  // the host's own; plugins only carry the handle

namespace BakkesMod::Plugin {

// Base of every plugin object the host drives. The host fills both handles
// before it calls onLoad. The destructor is deliberately not virtual: the
// object is always destroyed through its most-derived type by the shared
// pointer that created it.
class BAKKESMOD_PLUGIN_API BakkesModPlugin {
public:
    BakkesModPlugin();
    BakkesModPlugin(const BakkesModPlugin& other);
    BakkesModPlugin(BakkesModPlugin&& other) noexcept;
    BakkesModPlugin& operator=(const BakkesModPlugin& other);
    BakkesModPlugin& operator=(BakkesModPlugin&& other) noexcept;
    ~BakkesModPlugin();

    virtual void onLoad();
    virtual void onUnload();

    std::shared_ptr<CVarManagerWrapper> consoleVariables;
    std::shared_ptr<HostContext> hostContext;
};

}  // namespace BakkesMod::Plugin

// The host writes the two handles straight into the object, so their places
// are part of the binary interface: the virtual table pointer, then the two
// shared pointers of two pointers each.
static_assert(sizeof(void*) == 8, "the plugin interface is defined for 64-bit targets");
static_assert(sizeof(std::shared_ptr<CVarManagerWrapper>) == 16);
static_assert(sizeof(BakkesMod::Plugin::BakkesModPlugin) == 40);
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
static_assert(offsetof(BakkesMod::Plugin::BakkesModPlugin, consoleVariables) == 8);
static_assert(offsetof(BakkesMod::Plugin::BakkesModPlugin, hostContext) == 24);
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif

#if defined(_MSVC_STL_VERSION)
// With the MSVC standard library, which the real host and its SDK library are
// built with: the handles' control blocks are its _Ref_count_base (virtual
// table pointer, then the use and weak counts), whose virtual functions the
// other side calls, and an exception from a plugin operation reaches the host
// as its 24-byte std::exception (virtual table pointer, text, owns-text flag).
static_assert(sizeof(std::_Ref_count_base) == 16);
static_assert(sizeof(std::exception) == 24);
#endif
