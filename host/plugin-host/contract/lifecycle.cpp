// The lifecycle test: the whole cycle the host takes, as many times as asked.

#include <string>

#include "checks.h"

namespace host::contract {

namespace {

std::vector<Change> changesBetween(const std::map<std::string, std::string, std::less<>>& before,
                                   const std::map<std::string, std::string, std::less<>>& after) {
    std::vector<Change> changes;
    for (const auto& [name, value] : after) {
        const auto old = before.find(name);
        if (old == before.end() || old->second != value) {
            changes.push_back(
                Change{name, old != before.end() ? old->second : std::string(), value});
        }
    }
    return changes;
}

// One load-to-unload cycle; the first failure stops it.
bool runCycle(const Options& options, int number, TestReport& report, StepObserver& observer,
              Leftovers& leftovers) {
    Session session(options, number, report, observer, leftovers);
    if (!session.open()) {
        return false;
    }
    loader::PluginHolder* holder = session.getPluginAndHandOver();
    if (holder == nullptr) {
        return false;
    }
    const bool operated = session.step(Step::OnLoad, [&]() -> Finding {
        const auto before = session.registry().snapshot();
        session.hostCopy->onLoad();
        if (number == 1) {
            report.changes = changesBetween(before, session.registry().snapshot());
        }
        return std::nullopt;
    }) && session.step(Step::OnUnload, [&]() -> Finding {
        session.hostCopy->onUnload();
        return std::nullopt;
    });
    if (!operated) {
        return false;
    }
    // The host lets go of its copy, then asks the module to let go of its.
    const bool deleted = session.deleteMe(Session::HostCopy::Release,
                                          [&]() -> Finding { return holderEmptied(*holder); });
    // With no owner left, the object is gone and so are its shares.
    return deleted && session.release("deleteMe") && session.unload();
}

}  // namespace

void lifecycle(const Options& options, TestReport& report, StepObserver& observer,
               Leftovers& leftovers) {
    for (int number = 1; number <= options.cycles; ++number) {
        report.steps = {};
        if (!runCycle(options, number, report, observer, leftovers)) {
            return;
        }
        ++report.cyclesPassed;
    }
}

}  // namespace host::contract
