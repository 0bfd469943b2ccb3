#include "session.h"

#include <cstring>
#include <exception>

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

}  // namespace

HolderWords wordsOf(const loader::PluginHolder& holder) noexcept {
    HolderWords words;
    static_assert(sizeof(holder) == sizeof(words));
    std::memcpy(&words, static_cast<const void*>(&holder), sizeof words);
    return words;
}

Session::Session(const Options& options, int cycle, Report& report, StepObserver& observer)
    : options_(options), cycle_(cycle), report_(report), observer_(observer) {
    manager_ = std::make_shared<CVarManagerWrapper>();
    manager_->registerCvar(kOnlineStatusVariable, kOnlineStatusDefault);
    for (const auto& [name, value] : options_.presets) {
        manager_->registerCvar(name, value).setValue(value);
    }
    context_ = std::make_shared<HostContext>();
}

Session::~Session() {
    hostCopy.reset();
    if (module_ && !unloaded_ && mayHoldPlugin_) {
        try {
            module_->deleteMe();
        } catch (...) {
        }
    }
}

void Session::start(Step step) {
    current_ = step;
    observer_.stepStarted(cycle_, step);
}

bool Session::pass() {
    report_.status(current_) = StepStatus::Passed;
    return true;
}

bool Session::fail(std::string cause) {
    report_.status(current_) = StepStatus::Failed;
    if (report_.outcome == Outcome::Passed) {
        report_.outcome = Outcome::Misbehaved;
        report_.cause = std::move(cause);
    }
    return false;
}

bool Session::open() {
    start(Step::Load);
    try {
        module_.emplace(loader::PluginModule::open(options_.module));
    } catch (const loader::LoadError& error) {
        fail(std::string("cannot be loaded: ") + error.what());
        report_.outcome = Outcome::Unusable;
        return false;
    } catch (const loader::ModuleError& error) {
        fail(std::string("not a plugin module: ") + error.what());
        report_.outcome = Outcome::Unusable;
        return false;
    }
    pass();

    start(Step::Descriptor);
    const auto problems = module_->descriptorProblems();
    if (!problems.empty()) {
        std::string cause = "bad descriptor: " + problems.front();
        for (std::size_t i = 1; i < problems.size(); ++i) {
            cause += "; " + problems[i];
        }
        fail(cause);
        report_.outcome = Outcome::Unusable;
        return false;
    }
    if (!report_.descriptor) {
        report_.descriptor = describe(module_->descriptor());
        report_.warnings = descriptorWarnings(*report_.descriptor);
        observer_.descriptorRead(*report_.descriptor);
    }
    return pass();
}

loader::PluginHolder* Session::getPlugin() {
    start(Step::GetPlugin);
    loader::PluginHolder* holder = nullptr;
    mayHoldPlugin_ = true;
    try {
        holder = module_->getPlugin();
    } catch (...) {
        fail("getPlugin " + describeCurrentException());
        return nullptr;
    }
    if (holder == nullptr) {
        fail("getPlugin gave back a null address");
        return nullptr;
    }
    if (!*holder) {
        fail("getPlugin gave back an empty holder");
        return nullptr;
    }
    pass();
    return holder;
}

void Session::handOver(BakkesMod::Plugin::BakkesModPlugin& plugin) {
    plugin.consoleVariables = manager_;
    plugin.hostContext = context_;
}

bool Session::call(BakkesMod::Plugin::BakkesModPlugin& plugin,
                   void (BakkesMod::Plugin::BakkesModPlugin::*operation)()) {
    try {
        (plugin.*operation)();
    } catch (...) {
        return fail(std::string(toString(current_)) + " " + describeCurrentException());
    }
    return true;
}

bool Session::deleteMe() {
    try {
        module_->deleteMe();
    } catch (...) {
        return fail("deleteMe " + describeCurrentException());
    }
    mayHoldPlugin_ = false;
    return true;
}

bool Session::unload() {
    start(Step::Unload);
    hostCopy.reset();
    unloaded_ = true;
    report_.unloaded = module_->unload();
    if (!report_.unloaded) {
        return fail("the module stayed in memory after it was unloaded");
    }
    return pass();
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
