#include "catalog.h"

#include "checks.h"
#include "leftovers.h"
#include "process/process.h"

namespace host {

const std::vector<ContractTest>& contractTests() {
    static const std::vector<ContractTest> tests{
        {"descriptor",
         "`exports`, `getPlugin` and `deleteMe` are exported; sdk level 95, no null texts, "
         "`createEntry` and `destroyEntry` equal the exported `getPlugin` and `deleteMe`",
         "the host refuses the module (exit code 2): rebuild it against this SDK and export the "
         "descriptor and both entries undecorated",
         contract::descriptor, true, false},
        {"lifecycle",
         "the host's cycle, `--cycles` times: `getPlugin`, take a shared copy, fill "
         "`consoleVariables` and `hostContext`, `onLoad` (each console variable it changed is "
         "shown), `onUnload`, release the copy, `deleteMe`; then the holder reads empty (both "
         "words null), the object has given back every handle and console-variable handle "
         "before the module is unloaded, and the module leaves memory",
         "the plugin crashes, hangs or throws in an operation, or keeps the host's handles, or "
         "itself, alive past `deleteMe`",
         contract::lifecycle, false, true},
        {"get-plugin-twice",
         "two `getPlugin` calls give back the same address, the same object and the same "
         "control block",
         "`getPlugin` makes a new object on every call, so the host loses the one it drives",
         contract::getPluginTwice},
        {"delete-before-get",
         "`deleteMe` before any `getPlugin`, and again, does nothing; `getPlugin` then gives an "
         "object with empty handles",
         "`deleteMe` uses the holder without checking that it holds anything",
         contract::deleteBeforeGet},
        {"fresh-after-delete",
         "`getPlugin`, fill handles, `deleteMe`, `getPlugin` again: a live object with both "
         "handles empty, and the first object has given back all of its handles",
         "`deleteMe` keeps the object somewhere, and a reload gets the old object, and the old "
         "handles, back",
         contract::freshAfterDelete},
        {"copy-outlives-delete",
         "the host keeps a shared copy across `deleteMe`: the holder empties, the object keeps "
         "both handles until the copy goes, then everything is given back",
         "the object is owned outside its shared pointer, so `deleteMe` destroys it under the "
         "host's feet",
         contract::copyOutlivesDelete},
        {"unload-while-holding",
         "`getPlugin`, fill handles, unload without `deleteMe`: the unload releases the object "
         "and every handle, and the module leaves memory",
         "the holder is not a plain module global (leaked, or pinned), so unloading never "
         "releases the plugin",
         contract::unloadWhileHolding},
    };
    return tests;
}

const ContractTest* findContractTest(const std::string& name) noexcept {
    for (const auto& test : contractTests()) {
        if (name == test.name) {
            return &test;
        }
    }
    return nullptr;
}

const ContractTest& exploreTest() {
    static const ContractTest test{
        "explore",
        "sequences of the host's operations, each held to the holder's state table after every "
        "operation: the holder's two words, the object's identity, every use count, the "
        "handles' references, the console variables, and that all is released at unload",
        "the plugin goes wrong only after some order of operations, which the failure names",
        contract::sequence};
    return test;
}

const ContractTest& togetherTest() {
    static const ContractTest test{
        "together",
        "the modules side by side in one process, as the host holds a plugin folder: each "
        "loaded in turn (`getPlugin`, `onLoad`), the first unloaded alone and loaded again "
        "while the others stay, then all unloaded in reverse; every check of the lifecycle for "
        "each, and what each step left in the process blamed on its module",
        "the plugin leaves the process in a state another plugin trips over (floating-point "
        "traps, a locale), or trips over one; or it writes a console variable another one "
        "writes too",
        nullptr,
        false,
        false,
        true};
    return test;
}

TestReport runContractTest(const ContractTest& test, const Options& options,
                           StepObserver& observer) {
    TestReport report;
    report.name = test.name;
    Leftovers leftovers(options);
    test.run(options, report, observer, leftovers);
    if (auto left = leftovers.atEnd(report)) {
        report.fail(std::move(*left));
    }
    report.peakResidentKiB = process::peakResidentKiB();
    return report;
}

std::string listTestsText() {
    std::string text;
    for (const auto& test : contractTests()) {
        text += std::string(test.name) + "\n  checks: " + test.checks +
                "\n  a failure usually means: " + test.failureMeans + "\n";
    }
    return text;
}

}  // namespace host
