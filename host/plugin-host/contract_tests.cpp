#include "contract_tests.h"

#include "process/process.h"

namespace host {

const std::vector<ContractTest>& contractTests() {
    static const std::vector<ContractTest> tests{
        {"descriptor",
         "sdk level 95, no null texts, createEntry and destroyEntry equal the exported getPlugin "
         "and deleteMe",
         "the host refuses the module: rebuild it against this SDK and export the descriptor "
         "and both entries undecorated",
         runDescriptorTest},
        {"lifecycle",
         "the host's whole cycle, --cycles times: changes made by onLoad, the holder empty after "
         "deleteMe, every handle given back before unload, the module gone after it",
         "the plugin crashes, hangs or throws in an operation, or keeps the host's handles or "
         "itself alive past deleteMe",
         runLifecycleTest},
        {"get-plugin-twice", "two getPlugin calls give back the same address and the same object",
         "getPlugin makes a new object on every call, so the host loses the one it drives",
         runGetPluginTwiceTest},
        {"delete-before-get", "deleteMe before any getPlugin, and again, does nothing",
         "deleteMe uses the holder without checking that it holds anything",
         runDeleteBeforeGetTest},
        {"fresh-after-delete",
         "after deleteMe, getPlugin gives a live object with both handles empty, and the first "
         "object has given back all of its handles",
         "deleteMe keeps the object somewhere, and a reload gets the old object back",
         runFreshAfterDeleteTest},
        {"copy-outlives-delete",
         "a shared copy the host keeps across deleteMe keeps the object and its handles alive "
         "until the copy goes, and then everything is given back",
         "the object is owned outside its shared pointer, so deleteMe destroys it under the "
         "host's feet",
         runCopyOutlivesDeleteTest},
        {"unload-while-holding",
         "unloading without deleteMe releases the object and every handle, and the module "
         "leaves memory",
         "the holder is not a plain module global (leaked, or pinned), so unloading never "
         "releases the plugin",
         runUnloadWhileHoldingTest},
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

Report runContractTest(const ContractTest& test, const Options& options, StepObserver& observer) {
    Report report;
    report.module = process::pathToUtf8(options.module);
    report.cyclesRequested = options.cycles;
    test.run(options, report, observer);
    report.peakResidentKiB = process::peakResidentKiB();
    report.tests.push_back(TestResult{
        test.name, report.outcome == Outcome::Passed ? TestStatus::Passed : TestStatus::Failed,
        report.cause});
    return report;
}

}  // namespace host
