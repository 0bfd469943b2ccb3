#pragma once

#include <memory>
#include <optional>
#include <string>

#include "bakkesmod/wrappers/cvarmanagerwrapper.h"
#include "loader/plugin_module.h"
#include "options.h"
#include "pluginsdk/cvar_registry.h"
#include "pluginsdk/host_context.h"
#include "report.h"

namespace host {

// Told about each step before it is taken, so that a watcher outside the
// process can say where a crash happened.
class StepObserver {
public:
    virtual ~StepObserver() = default;
    virtual void stepStarted(int cycle, Step step) = 0;
    virtual void descriptorRead(const DescriptorInfo& descriptor) = 0;
};

// The value "cl_online_status_override" has before any plugin touches it.
inline constexpr const char* kOnlineStatusVariable = "cl_online_status_override";
inline constexpr const char* kOnlineStatusDefault = "online";

// The two words of a std::shared_ptr, as the host reads them through the
// address getPlugin gives back: the object pointer, then the control block.
struct HolderWords {
    const void* object = nullptr;
    const void* controlBlock = nullptr;
};
HolderWords wordsOf(const loader::PluginHolder& holder) noexcept;

// One freshly loaded module, driven the way the host drives it, with the
// host's console-variable manager and context to hand over. Every step is
// told to the observer before it is taken and recorded in the report; the
// first failure becomes the report's outcome and cause. Tests observe the
// plugin only as the host can: the holder's words, the use counts of the
// handles the host gave, the console variables.
class Session {
public:
    Session(const Options& options, int cycle, Report& report, StepObserver& observer);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // Gives back whatever is still held, the way the host would, never throwing.
    ~Session();

    // Loads the module and checks its descriptor; the module is unusable
    // when either fails.
    bool open();

    // Takes a step: tells the observer, then marks it passed or failed.
    void start(Step step);
    bool pass();
    bool fail(std::string cause);

    // Calls getPlugin; the holder, or nullptr after failing the step when
    // getPlugin threw or gave back no address or an empty holder.
    loader::PluginHolder* getPlugin();
    // Hands both services to the object, as the host does after getPlugin.
    void handOver(BakkesMod::Plugin::BakkesModPlugin& plugin);
    // Calls an operation of the plugin; fails the step when it throws.
    bool call(BakkesMod::Plugin::BakkesModPlugin& plugin,
              void (BakkesMod::Plugin::BakkesModPlugin::*operation)());
    // Calls deleteMe; fails the step when it throws.
    bool deleteMe();
    // Unloads the module; fails the step when it stays in memory.
    bool unload();

    // Empty when the plugin holds none of the handles the host gave, else
    // what it still holds.
    std::string keptHandles() const;
    long managerReferences() const { return manager_.use_count() - 1; }
    long contextReferences() const { return context_.use_count() - 1; }
    CVarRegistry& registry() { return manager_->registry(); }

    // The shared copy the host takes of the plugin, released by the session.
    loader::PluginHolder hostCopy;

private:
    const Options& options_;
    const int cycle_;
    Report& report_;
    StepObserver& observer_;
    Step current_ = Step::Load;
    std::optional<loader::PluginModule> module_;
    bool unloaded_ = false;
    bool mayHoldPlugin_ = false;  // getPlugin ran and deleteMe has not since
    std::shared_ptr<CVarManagerWrapper> manager_;
    std::shared_ptr<HostContext> context_;
};

}  // namespace host
