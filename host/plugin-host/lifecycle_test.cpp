// The lifecycle test: the whole cycle the host takes, as many times as asked.

#include <string>

#include "contract_tests.h"

namespace host {

namespace {

using BakkesMod::Plugin::BakkesModPlugin;

// One load-to-unload cycle; the first failure stops it.
bool runCycle(const Options& options, int number, Report& report, StepObserver& observer) {
    Session session(options, number, report, observer);
    if (!session.open()) {
        return false;
    }
    loader::PluginHolder* holder = session.getPlugin();
    if (holder == nullptr) {
        return false;
    }
    session.hostCopy = *holder;
    session.handOver(*session.hostCopy);

    session.start(Step::OnLoad);
    const auto before = session.registry().snapshot();
    if (!session.call(*session.hostCopy, &BakkesModPlugin::onLoad)) {
        return false;
    }
    if (number == 1) {
        for (const auto& [name, value] : session.registry().snapshot()) {
            const auto old = before.find(name);
            if (old == before.end() || old->second != value) {
                report.changes.push_back(
                    Change{name, old != before.end() ? old->second : std::string(), value});
            }
        }
    }
    session.pass();

    session.start(Step::OnUnload);
    if (!session.call(*session.hostCopy, &BakkesModPlugin::onUnload)) {
        return false;
    }
    session.pass();

    // The host lets go of its copy, then asks the module to let go of its.
    session.start(Step::DeleteMe);
    session.hostCopy.reset();
    if (!session.deleteMe()) {
        return false;
    }
    const HolderWords words = wordsOf(*holder);
    if (words.object != nullptr || words.controlBlock != nullptr) {
        return session.fail("after deleteMe the holder still holds " +
                            std::string(words.object != nullptr ? "an object" : "a control block"));
    }
    session.pass();

    // With no owner left, the object is gone and so are its shares.
    session.start(Step::Release);
    const std::string kept = session.keptHandles();
    report.released = kept.empty();
    if (!kept.empty()) {
        return session.fail("the plugin kept " + kept + " after deleteMe");
    }
    session.pass();

    return session.unload();
}

}  // namespace

void runLifecycleTest(const Options& options, Report& report, StepObserver& observer) {
    for (int number = 1; number <= options.cycles; ++number) {
        report.steps = {};
        if (!runCycle(options, number, report, observer)) {
            return;
        }
        ++report.cyclesPassed;
    }
}

}  // namespace host
