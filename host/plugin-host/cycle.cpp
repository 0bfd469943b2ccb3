#include "cycle.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "bakkesmod/wrappers/cvarmanagerwrapper.h"
#include "loader/plugin_module.h"
#include "pluginsdk/cvar_registry.h"
#include "pluginsdk/host_context.h"
#include "process/process.h"
#include "warnings.h"

namespace host {

namespace {

std::string describeCurrentException() {
    try {
        throw;
    } catch (const std::exception& error) {
        return std::string("threw an exception: ") + error.what();
    } catch (...) {
        return "threw something that is not a std::exception";
    }
}

std::string plural(long count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

DescriptorInfo describe(const PluginDescriptor& d) {
    return DescriptorInfo{d.sdkLevel,    d.sourcePath,  d.classLabel,
                          d.displayName, d.versionText, d.kindCode};
}

// One load-to-unload cycle. Each step records its status in the report; the
// first failure stops the cycle, after the plugin and the module have been
// let go of as far as they still can be.
class Cycle {
public:
    Cycle(const Options& options, int number, Report& report, StepObserver& observer)
        : options_(options), number_(number), report_(report), observer_(observer) {}

    bool run() {
        return load() && checkDescriptor() && makeHostServices() && createPlugin() &&
               callPlugin(Step::OnLoad, &BakkesMod::Plugin::BakkesModPlugin::onLoad) &&
               callPlugin(Step::OnUnload, &BakkesMod::Plugin::BakkesModPlugin::onUnload) &&
               releasePlugin() && unloadModule() && checkReleased();
    }

    ~Cycle() {
        // After a failure: give back what the plugin still holds, in the order
        // the host would, and never let a second failure escape.
        plugin_.reset();
        if (module_ && !deleted_) {
            try {
                module_->deleteMe();
            } catch (...) {
            }
        }
    }

private:
    void start(Step step) {
        current_ = step;
        observer_.stepStarted(number_, step);
    }

    bool pass() {
        report_.status(current_) = StepStatus::Passed;
        return true;
    }

    bool fail(Outcome outcome, std::string cause) {
        report_.status(current_) = StepStatus::Failed;
        report_.outcome = outcome;
        report_.cause = std::move(cause);
        return false;
    }

    bool load() {
        start(Step::Load);
        try {
            module_.emplace(loader::PluginModule::open(options_.module));
        } catch (const loader::LoadError& error) {
            return fail(Outcome::Unusable, std::string("cannot be loaded: ") + error.what());
        } catch (const loader::ModuleError& error) {
            return fail(Outcome::Unusable, std::string("not a plugin module: ") + error.what());
        }
        return pass();
    }

    bool checkDescriptor() {
        start(Step::Descriptor);
        const auto problems = module_->descriptorProblems();
        if (!problems.empty()) {
            std::string cause = "bad descriptor: " + problems.front();
            for (std::size_t i = 1; i < problems.size(); ++i) {
                cause += "; " + problems[i];
            }
            return fail(Outcome::Unusable, cause);
        }
        if (!report_.descriptor) {
            report_.descriptor = describe(module_->descriptor());
            report_.warnings = descriptorWarnings(*report_.descriptor);
            observer_.descriptorRead(*report_.descriptor);
        }
        return pass();
    }

    bool makeHostServices() {
        manager_ = std::make_shared<CVarManagerWrapper>();
        manager_->registerCvar(kOnlineStatusVariable, kOnlineStatusDefault);
        for (const auto& [name, value] : options_.presets) {
            manager_->registerCvar(name, value).setValue(value);
        }
        context_ = std::make_shared<HostContext>();
        managerUses_ = manager_.use_count();
        contextUses_ = context_.use_count();
        return true;
    }

    bool createPlugin() {
        start(Step::GetPlugin);
        loader::PluginHolder* holder = nullptr;
        try {
            holder = module_->getPlugin();
        } catch (...) {
            return fail(Outcome::Misbehaved, "getPlugin " + describeCurrentException());
        }
        if (holder == nullptr) {
            return fail(Outcome::Misbehaved, "getPlugin gave back a null address");
        }
        plugin_ = *holder;
        if (!plugin_) {
            return fail(Outcome::Misbehaved, "getPlugin gave back an empty holder");
        }
        plugin_->consoleVariables = manager_;
        plugin_->hostContext = context_;
        return pass();
    }

    bool callPlugin(Step step, void (BakkesMod::Plugin::BakkesModPlugin::*operation)()) {
        start(step);
        const auto before = manager_->registry().snapshot();
        try {
            ((*plugin_).*operation)();
        } catch (...) {
            return fail(Outcome::Misbehaved,
                        std::string(toString(step)) + " " + describeCurrentException());
        }
        if (step == Step::OnLoad && number_ == 1) {
            for (const auto& [name, value] : manager_->registry().snapshot()) {
                auto old = before.find(name);
                const std::string oldValue = old != before.end() ? old->second : std::string();
                if (old == before.end() || old->second != value) {
                    report_.changes.push_back(Change{name, oldValue, value});
                }
            }
        }
        return pass();
    }

    bool releasePlugin() {
        plugin_.reset();
        start(Step::DeleteMe);
        deleted_ = true;
        try {
            module_->deleteMe();
        } catch (...) {
            return fail(Outcome::Misbehaved, "deleteMe " + describeCurrentException());
        }
        return pass();
    }

    bool unloadModule() {
        start(Step::Unload);
        report_.unloaded = module_->unload();
        if (!report_.unloaded) {
            return fail(Outcome::Misbehaved, "the module stayed in memory after it was unloaded");
        }
        return pass();
    }

    bool checkReleased() {
        start(Step::Release);
        const long managerKept = manager_.use_count() - managerUses_;
        const long contextKept = context_.use_count() - contextUses_;
        const auto handlesKept = static_cast<long>(manager_->registry().liveHandles());
        report_.released = managerKept == 0 && contextKept == 0 && handlesKept == 0;
        if (managerKept != 0) {
            return fail(Outcome::Misbehaved, "the plugin kept " + plural(managerKept, "reference") +
                                                 " to the console-variable manager");
        }
        if (contextKept != 0) {
            return fail(Outcome::Misbehaved, "the plugin kept " + plural(contextKept, "reference") +
                                                 " to the host context");
        }
        if (handlesKept != 0) {
            return fail(Outcome::Misbehaved,
                        "the plugin kept " + plural(handlesKept, "console-variable handle"));
        }
        return pass();
    }

    const Options& options_;
    const int number_;
    Report& report_;
    StepObserver& observer_;
    Step current_ = Step::Load;
    std::optional<loader::PluginModule> module_;
    std::shared_ptr<CVarManagerWrapper> manager_;
    std::shared_ptr<HostContext> context_;
    long managerUses_ = 0;
    long contextUses_ = 0;
    loader::PluginHolder plugin_;
    bool deleted_ = false;
};

}  // namespace

Report runCycles(const Options& options, StepObserver& observer) {
    Report report;
    report.module = process::pathToUtf8(options.module);
    report.cyclesRequested = options.cycles;
    for (int number = 1; number <= options.cycles; ++number) {
        report.steps = {};
        if (!Cycle(options, number, report, observer).run()) {
            break;
        }
        ++report.cyclesPassed;
    }
    report.peakResidentKiB = process::peakResidentKiB();
    return report;
}

}  // namespace host
