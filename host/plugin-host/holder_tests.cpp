// The descriptor test and the tests of the holder's state table: what
// getPlugin, deleteMe and unloading must do in each state of the holder.

#include <sstream>
#include <string>

#include "contract_tests.h"

namespace host {

namespace {

std::string address(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}

// Opens the module, gets the plugin and hands over both services, as the
// host does; nullptr after a failed step.
loader::PluginHolder* openWithPlugin(Session& session) {
    if (!session.open()) {
        return nullptr;
    }
    loader::PluginHolder* holder = session.getPlugin();
    if (holder != nullptr) {
        session.hostCopy = *holder;
        session.handOver(*session.hostCopy);
    }
    return holder;
}

// The host's last call to a module it is done with.
void finishWithDeleteMe(Session& session) {
    session.start(Step::DeleteMe);
    if (session.deleteMe()) {
        session.pass();
    }
}

}  // namespace

void runDescriptorTest(const Options& options, Report& report, StepObserver& observer) {
    Session session(options, 1, report, observer);
    session.open();
}

void runGetPluginTwiceTest(const Options& options, Report& report, StepObserver& observer) {
    Session session(options, 1, report, observer);
    loader::PluginHolder* first = openWithPlugin(session);
    if (first == nullptr) {
        return;
    }
    const HolderWords firstWords = wordsOf(*first);
    loader::PluginHolder* second = session.getPlugin();
    if (second == nullptr) {
        return;
    }
    if (second != first) {
        session.fail("the second getPlugin gave back another address (" + address(second) +
                     ", first " + address(first) + ")");
        return;
    }
    const HolderWords secondWords = wordsOf(*second);
    if (secondWords.object != firstWords.object) {
        session.fail("the second getPlugin made another object");
        return;
    }
    if (secondWords.controlBlock != firstWords.controlBlock) {
        session.fail("the second getPlugin gave the object another control block");
        return;
    }
    session.hostCopy.reset();
    finishWithDeleteMe(session);
}

void runDeleteBeforeGetTest(const Options& options, Report& report, StepObserver& observer) {
    Session session(options, 1, report, observer);
    if (!session.open()) {
        return;
    }
    session.start(Step::DeleteMe);
    if (!session.deleteMe() || !session.deleteMe()) {
        return;
    }
    session.pass();
    // Nothing happened: the module hands out a plugin as on first use.
    loader::PluginHolder* holder = session.getPlugin();
    if (holder == nullptr) {
        return;
    }
    if ((*holder)->consoleVariables || (*holder)->hostContext) {
        session.fail(
            "after deleteMe on an empty holder, getPlugin gave back an object that holds "
            "handles");
        return;
    }
    finishWithDeleteMe(session);
}

void runFreshAfterDeleteTest(const Options& options, Report& report, StepObserver& observer) {
    Session session(options, 1, report, observer);
    if (openWithPlugin(session) == nullptr) {
        return;
    }
    session.start(Step::DeleteMe);
    session.hostCopy.reset();
    if (!session.deleteMe()) {
        return;
    }
    session.pass();

    loader::PluginHolder* fresh = session.getPlugin();
    if (fresh == nullptr) {
        return;
    }
    const bool holdsManager = static_cast<bool>((*fresh)->consoleVariables);
    const bool holdsContext = static_cast<bool>((*fresh)->hostContext);
    if (holdsManager || holdsContext) {
        session.fail(std::string("getPlugin after deleteMe gave back an object that still holds ") +
                     (holdsManager ? "the console-variable manager" : "the host context"));
        return;
    }
    session.start(Step::Release);
    const std::string kept = session.keptHandles();
    if (!kept.empty()) {
        session.fail("the first object kept " + kept + " after deleteMe");
        return;
    }
    session.pass();
    finishWithDeleteMe(session);
}

void runCopyOutlivesDeleteTest(const Options& options, Report& report, StepObserver& observer) {
    Session session(options, 1, report, observer);
    loader::PluginHolder* holder = openWithPlugin(session);
    if (holder == nullptr) {
        return;
    }
    // deleteMe with the host's copy still held: the holder lets go of its
    // share only, and the object lives on with both handles.
    session.start(Step::DeleteMe);
    if (!session.deleteMe()) {
        return;
    }
    if (wordsOf(*holder).object != nullptr) {
        session.fail("after deleteMe the holder still holds an object");
        return;
    }
    if (session.managerReferences() != 1 || session.contextReferences() != 1) {
        session.fail(
            "the object let go of the host's handles at deleteMe while the host still "
            "held a copy: it died under that copy");
        return;
    }
    session.pass();

    session.start(Step::Release);
    session.hostCopy.reset();
    const std::string kept = session.keptHandles();
    if (!kept.empty()) {
        session.fail("the plugin kept " + kept + " after the host released its last copy");
        return;
    }
    session.pass();
}

void runUnloadWhileHoldingTest(const Options& options, Report& report, StepObserver& observer) {
    Session session(options, 1, report, observer);
    if (openWithPlugin(session) == nullptr) {
        return;
    }
    // The host lets go of its copy and unloads without deleteMe: only the
    // holder's destructor can release the plugin now.
    session.hostCopy.reset();
    if (!session.unload()) {
        return;
    }
    session.start(Step::Release);
    const std::string kept = session.keptHandles();
    if (!kept.empty()) {
        session.fail("unloading the module without deleteMe did not release the plugin: it kept " +
                     kept);
        return;
    }
    session.pass();
}

}  // namespace host
