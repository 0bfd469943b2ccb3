#include "session.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <exception>

#include "process/process.h"
#include "step_under_way.h"

namespace host {

namespace {

std::string describeCurrentException() {
    try {
        throw;
    } catch (const std::exception& error) {
        // A plugin's what() may give back anything, null included.
        const char* what = error.what();
        return std::string("threw an exception: ") + (what != nullptr ? what : "(null what())");
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

}  // namespace

HolderWords wordsOf(const loader::PluginHolder& holder) noexcept {
    HolderWords words;
    static_assert(sizeof(holder) == sizeof(words));
    std::memcpy(&words, static_cast<const void*>(&holder), sizeof words);
    return words;
}

Finding holderEmptied(const loader::PluginHolder& holder) {
    const HolderWords words = wordsOf(holder);
    if (words.object != nullptr) {
        return "after deleteMe the holder still holds an object";
    }
    if (words.controlBlock != nullptr) {
        return "after deleteMe the holder still holds a control block";
    }
    return std::nullopt;
}

Session::Session(const Options& options, int cycle, TestReport& report, StepObserver& observer,
                 Leftovers& leftovers)
    : options_(options),
      cycle_(cycle),
      report_(report),
      observer_(observer),
      leftovers_(leftovers),
      exactThreads_(cycle == 1 || cycle == options.cycles) {
    manager_ = std::make_shared<CVarManagerWrapper>();
    manager_->registerCvar(kOnlineStatusVariable, kOnlineStatusDefault);
    for (const auto& [name, value] : options_.presets) {
        manager_->registerCvar(name, value).setValue(value);
    }
    context_ = std::make_shared<HostContext>();
    hostThreads_ = process::runningThreads(exactThreads_);
}

std::size_t Session::pluginThreads() const {
    // A thread that has just been joined may take a moment to leave the
    // system's list; one still running stays.
    std::size_t now = process::runningThreads(exactThreads_);
    for (int wait = 0; wait < 10 && now > hostThreads_; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        now = process::runningThreads(exactThreads_);
    }
    return now > hostThreads_ ? now - hostThreads_ : 0;
}

Session::~Session() {
    hostCopy.reset();
    if (!module_ || unloaded_) {
        return;
    }
    if (mayHoldPlugin_) {
        try {
            module_->deleteMe();
        } catch (...) {
        }
    }
    // The module goes here, and its static destructors run: a hang or a
    // crash in them is the unload's.
    observer_.stepStarted(cycle_, Step::Unload);
    if (auto left = leftovers_.atUnload(module_->library(), options_.module, cycle_, report_)) {
        report_.fail(std::move(*left));
    }
    if (pluginThreads() > 0) {
        module_->abandon();
    }
}

bool Session::step(Step step, const std::function<Finding()>& body) {
    if (hooks_ != nullptr) {
        hooks_->before(step);
    }
    observer_.stepStarted(cycle_, step);
    const StepUnderWay underWay(report_.name, step, cycle_,
                                options_.sequence.empty() ? "cycle" : "operation");
    Finding finding;
    try {
        finding = body();
    } catch (...) {
        finding = std::string(toString(step)) + " " + describeCurrentException();
    }
    const bool look = exactThreads_ || cycle_ % kCostlyEvery == 0;
    if (auto taken = observer_.takenDuring(step, look); taken && !finding) {
        finding = std::move(taken);
    }
    report_.step(step) = finding ? StepStatus::Failed : StepStatus::Passed;
    if (finding) {
        report_.fail(std::move(*finding));
    }
    if (hooks_ != nullptr) {
        hooks_->after(step);
    }
    return !finding;
}

bool Session::open() {
    bool loaded = step(Step::Load, [this]() -> Finding {
        try {
            module_.emplace(loader::PluginModule::open(options_.module));
        } catch (const loader::LoadError& error) {
            return std::string("cannot be loaded: ") + error.what();
        } catch (const loader::ModuleError& error) {
            return std::string("not a plugin module: ") + error.what();
        }
        return std::nullopt;
    });
    const bool usable = loaded && step(Step::Descriptor, [this]() -> Finding {
                            const auto problems = module_->descriptorProblems();
                            if (!problems.empty()) {
                                std::string cause = "bad descriptor: " + problems.front();
                                for (std::size_t i = 1; i < problems.size(); ++i) {
                                    cause += "; " + problems[i];
                                }
                                return cause;
                            }
                            if (!report_.descriptor) {
                                report_.descriptor = describe(module_->descriptor());
                                observer_.descriptorRead(*report_.descriptor);
                            }
                            return std::nullopt;
                        });
    if (!usable) {
        report_.outcome = Outcome::Unusable;
    }
    return usable;
}

loader::PluginHolder* Session::getPlugin(
    const std::function<Finding(loader::PluginHolder&)>& check) {
    loader::PluginHolder* holder = nullptr;
    const bool passed = step(Step::GetPlugin, [&]() -> Finding {
        mayHoldPlugin_ = true;
        holder = module_->getPlugin();
        if (holder == nullptr) {
            return "getPlugin gave back a null address";
        }
        if (!*holder) {
            return "getPlugin gave back an empty holder";
        }
        return check ? check(*holder) : std::nullopt;
    });
    return passed ? holder : nullptr;
}

loader::PluginHolder* Session::getPluginAndHandOver() {
    loader::PluginHolder* holder = getPlugin();
    if (holder != nullptr) {
        hostCopy = *holder;
        handOver(hostCopy);
    }
    return holder;
}

void Session::handOver(loader::PluginHolder& plugin) const {
    plugin->consoleVariables = manager_;
    plugin->hostContext = context_;
}

void Session::callDeleteMe() {
    module_->deleteMe();
    mayHoldPlugin_ = false;
}

bool Session::deleteMe(HostCopy copy, const std::function<Finding()>& check, int times) {
    return step(Step::DeleteMe, [&]() -> Finding {
        if (copy == HostCopy::Release) {
            hostCopy.reset();
        }
        for (int call = 0; call < times; ++call) {
            callDeleteMe();
        }
        return check ? check() : std::nullopt;
    });
}

bool Session::release(const std::string& moment) {
    return step(Step::Release, [&]() -> Finding {
        hostCopy.reset();
        const std::string kept = keptHandles();
        report_.released = kept.empty();
        if (!kept.empty()) {
            return "the plugin kept " + kept + " after " + moment;
        }
        return std::nullopt;
    });
}

bool Session::unload() {
    return step(Step::Unload, [this]() -> Finding {
        hostCopy.reset();
        unloaded_ = true;
        if (const std::size_t threads = pluginThreads(); threads > 0) {
            module_->abandon();
            return "left " + plural(static_cast<long>(threads), "thread") + " running at unload";
        }
        // Put back while the module is still there to tell what points into it.
        auto left = leftovers_.atUnload(module_->library(), options_.module, cycle_, report_);
        report_.unloaded = module_->unload();
        if (left) {
            return left;
        }
        if (!report_.unloaded) {
            return "the module stayed in memory after it was unloaded";
        }
        leftovers_.cycleEnded(cycle_, report_);
        return std::nullopt;
    });
}

std::string Session::keptHandles() const {
    std::string kept;
    const auto add = [&kept](long count, const char* noun, const char* rest) {
        if (count != 0) {
            kept += (kept.empty() ? "" : ", ") + plural(count, noun) + rest;
        }
    };
    add(managerReferences(), "reference", " to the console-variable manager");
    add(contextReferences(), "reference", " to the host context");
    add(static_cast<long>(manager_->registry().liveHandles()), "console-variable handle", "");
    return kept;
}

}  // namespace host
