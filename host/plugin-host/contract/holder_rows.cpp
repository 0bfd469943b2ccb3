// The tests of the holder's state table: what getPlugin, deleteMe and
// unloading must do in each state of the holder.

#include <sstream>
#include <string>

#include "checks.h"

namespace host::contract {

namespace {

std::string address(const void* pointer) {
    std::ostringstream text;
    text << pointer;
    return text.str();
}

// What a plugin fresh from getPlugin must not hold: handles nobody gave it.
Finding heldHandles(const loader::PluginHolder& plugin, const char* when) {
    const bool manager = static_cast<bool>(plugin->consoleVariables);
    const bool context = static_cast<bool>(plugin->hostContext);
    if (!manager && !context) {
        return std::nullopt;
    }
    return std::string(when) + ", getPlugin gave back an object that holds " +
           (manager && context ? "both handles"
            : manager          ? "the console-variable manager"
                               : "the host context");
}

}  // namespace

void getPluginTwice(const Options& options, TestReport& report, StepObserver& observer,
                    Leftovers& leftovers) {
    Session session(options, 1, report, observer, leftovers);
    if (!session.open()) {
        return;
    }
    loader::PluginHolder* first = session.getPluginAndHandOver();
    if (first == nullptr) {
        return;
    }
    const HolderWords firstWords = wordsOf(*first);
    const auto second = session.getPlugin([&](loader::PluginHolder& holder) -> Finding {
        if (&holder != first) {
            return "the second getPlugin gave back another address (" + address(&holder) +
                   ", first " + address(first) + ")";
        }
        const HolderWords secondWords = wordsOf(holder);
        if (secondWords.object != firstWords.object) {
            return "the second getPlugin made another object";
        }
        if (secondWords.controlBlock != firstWords.controlBlock) {
            return "the second getPlugin gave the object another control block";
        }
        return std::nullopt;
    });
    if (second == nullptr) {
        return;
    }
    session.deleteMe();
}

void deleteBeforeGet(const Options& options, TestReport& report, StepObserver& observer,
                     Leftovers& leftovers) {
    Session session(options, 1, report, observer, leftovers);
    if (!session.open() || !session.deleteMe(Session::HostCopy::Release, nullptr, 2)) {
        return;
    }
    // Nothing happened: the module hands out a plugin as on first use.
    if (session.getPlugin([](loader::PluginHolder& holder) {
            return heldHandles(holder, "after deleteMe on an empty holder");
        }) == nullptr) {
        return;
    }
    session.deleteMe();
}

void freshAfterDelete(const Options& options, TestReport& report, StepObserver& observer,
                      Leftovers& leftovers) {
    Session session(options, 1, report, observer, leftovers);
    if (!session.open() || session.getPluginAndHandOver() == nullptr) {
        return;
    }
    if (!session.deleteMe()) {
        return;
    }
    if (session.getPlugin([](loader::PluginHolder& holder) {
            return heldHandles(holder, "after deleteMe");
        }) == nullptr) {
        return;
    }
    // The fresh object holds nothing, so whatever is still out is the first's.
    if (session.release("deleteMe")) {
        session.deleteMe();
    }
}

void copyOutlivesDelete(const Options& options, TestReport& report, StepObserver& observer,
                        Leftovers& leftovers) {
    Session session(options, 1, report, observer, leftovers);
    loader::PluginHolder* holder = nullptr;
    if (!session.open() || (holder = session.getPluginAndHandOver()) == nullptr) {
        return;
    }
    // deleteMe with the host's copy still held: the holder lets go of its
    // share only, and the object lives on with both handles.
    const bool survived = session.deleteMe(Session::HostCopy::Keep, [&]() -> Finding {
        if (wordsOf(*holder).object != nullptr) {
            return "after deleteMe the holder still holds an object";
        }
        if (session.managerReferences() != 1 || session.contextReferences() != 1) {
            return "the object let go of the host's handles at deleteMe while the host still "
                   "held a copy: it died under that copy";
        }
        return std::nullopt;
    });
    if (!survived) {
        return;
    }
    session.release("the host released its last copy");
}

void unloadWhileHolding(const Options& options, TestReport& report, StepObserver& observer,
                        Leftovers& leftovers) {
    Session session(options, 1, report, observer, leftovers);
    if (!session.open() || session.getPluginAndHandOver() == nullptr) {
        return;
    }
    // The host lets go of its copy and unloads without deleteMe: only the
    // holder's destructor can release the plugin now.
    if (session.unload()) {
        session.release("the module was unloaded without deleteMe");
    }
}

}  // namespace host::contract
