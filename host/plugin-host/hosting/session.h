#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "bakkesmod/wrappers/cvarmanagerwrapper.h"
#include "leftovers.h"
#include "loader/plugin_module.h"
#include "options.h"
#include "pluginsdk/cvar_registry.h"
#include "pluginsdk/host_context.h"
#include "test_report.h"

namespace host {

// Told about each step before it is taken, so that a watcher outside the
// process can say where a crash happened.
class StepObserver {
public:
    virtual ~StepObserver() = default;
    virtual void stepStarted(int cycle, Step step) = 0;
    virtual void descriptorRead(const DescriptorInfo& descriptor) = 0;
    // Once a step has ended: why it fails when the plugin took the watcher's
    // own channel meanwhile (closed its file, put another in its place).
    // Unless `look`, by one cheap look, which misses only a file put in its
    // place opened the very same way: a long run looks thoroughly on its
    // first and last cycle and every kCostlyEvery-th.
    virtual std::optional<std::string> takenDuring(Step, bool /*look*/) { return std::nullopt; }
    // --together: the steps from here on are those of the run's module `module`.
    virtual void moduleStarted(std::size_t /*module*/) {}
    // --together: what a module's step left in the process.
    virtual void leftBehind(const LeftBehind&) {}
    // --together: a console variable a module's step changed.
    virtual void variableChanged(std::size_t /*module*/, const Change&) {}
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

// What a step found: nothing (it passed), or why it failed.
using Finding = std::optional<std::string>;

// After the host's deleteMe: both of the holder's words must read null.
Finding holderEmptied(const loader::PluginHolder& holder);

// Told before and after each step a session takes: several sessions side
// by side in one process (--together) share what a host keeps between them.
class StepHooks {
public:
    virtual ~StepHooks() = default;
    virtual void before(Step) {}
    // After the step's body, the module still loaded unless it was Unload.
    virtual void after(Step) {}
};

// One freshly loaded module, driven the way the host drives it, with the
// host's console-variable manager and context to hand over. Everything the
// plugin does happens inside a step: step() tells the observer, runs the
// step's body, turns whatever the plugin throws into a failure named for the
// step, and marks the step passed or failed in the report, whose first
// failure is the test's. Tests observe the plugin only as the host can: the
// holder's words, the use counts of the handles the host gave, the console
// variables.
class Session {
public:
    Session(const Options& options, int cycle, TestReport& report, StepObserver& observer,
            Leftovers& leftovers);
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // Gives back whatever is still held, the way the host would, never throwing.
    ~Session();

    // Runs one step; true when it passed.
    bool step(Step step, const std::function<Finding()>& body);

    // The load and descriptor steps; a module that fails either is unusable.
    bool open();

    // The getPlugin step: the holder, or nullptr when getPlugin threw, gave
    // back no address or an empty holder, or `check` found a fault in what
    // it gave back.
    loader::PluginHolder* getPlugin(
        const std::function<Finding(loader::PluginHolder&)>& check = nullptr);
    // getPlugin, then the host takes its shared copy and fills both handles.
    loader::PluginHolder* getPluginAndHandOver();
    // The host fills both handles of `plugin`.
    void handOver(loader::PluginHolder& plugin) const;
    // Whether the host lets go of its shared copy as a step begins; letting
    // go may run the plugin's destructor, which belongs to that step.
    enum class HostCopy { Release, Keep };
    // The deleteMe step: the host's copy, then `times` calls in a row, then
    // `check`.
    bool deleteMe(HostCopy copy = HostCopy::Release,
                  const std::function<Finding()>& check = nullptr, int times = 1);
    // The release step: the host lets go of its copy, then the one check that the plugin has given
    // back every handle and console-variable handle the host gave it, by `moment`
    // ("deleteMe", ...).
    bool release(const std::string& moment);
    // The unload step; fails when a thread the plugin started still runs (the
    // module is then left loaded, as unmapping it would crash that thread),
    // when the plugin left process-wide state pointing into the module (it
    // is put back first), or when the module stays in memory.
    bool unload();

    // The number the steps from here on are recorded under: a sequence of
    // operations counts its operations as a lifecycle counts its cycles.
    void renumber(int cycle) { cycle_ = cycle; }

    // Told about each step from now on; null: nobody.
    void setHooks(StepHooks* hooks) { hooks_ = hooks; }
    // The module while it is loaded; null before the load and after the unload.
    const loader::PluginModule* module() const {
        return module_ && !unloaded_ ? &*module_ : nullptr;
    }

    long managerReferences() const { return manager_.use_count() - 1; }
    long contextReferences() const { return context_.use_count() - 1; }
    CVarRegistry& registry() { return manager_->registry(); }

    // The shared copy the host takes of the plugin, released by the session.
    loader::PluginHolder hostCopy;

private:
    void callDeleteMe();
    // Threads running now that were not when the session began.
    std::size_t pluginThreads() const;
    // What the plugin still holds of what the host gave; empty when nothing.
    std::string keptHandles() const;

    const Options& options_;
    int cycle_;
    TestReport& report_;
    StepObserver& observer_;
    Leftovers& leftovers_;
    std::optional<loader::PluginModule> module_;
    bool unloaded_ = false;
    bool mayHoldPlugin_ = false;  // getPlugin ran and deleteMe has not since
    std::shared_ptr<CVarManagerWrapper> manager_;
    std::shared_ptr<HostContext> context_;
    // Exact counts on the first and last cycle and in every other test; in
    // between, the cheap count (see process::runningThreads).
    const bool exactThreads_;
    std::size_t hostThreads_ = 0;  // before the module was loaded
    StepHooks* hooks_ = nullptr;
};

}  // namespace host
