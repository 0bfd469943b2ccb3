#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "report.h"
#include "session.h"

namespace host {

// One named test of the module contract: each starts from a freshly loaded
// module and checks one row of the holder's state table, or the descriptor.
struct ContractTest {
    const char* name;
    const char* checks;        // what it checks, one line
    const char* failureMeans;  // what a failure usually means for a plugin author
    void (*run)(const Options& options, Report& report, StepObserver& observer);
};

// Every test, in the order they are run and reported.
const std::vector<ContractTest>& contractTests();
const ContractTest* findContractTest(const std::string& name) noexcept;

// Runs one test in this process; the report's outcome and cause say how it
// ended, and its `tests` holds the one result.
Report runContractTest(const ContractTest& test, const Options& options, StepObserver& observer);

// The tests themselves.
void runDescriptorTest(const Options& options, Report& report, StepObserver& observer);
void runLifecycleTest(const Options& options, Report& report, StepObserver& observer);
void runGetPluginTwiceTest(const Options& options, Report& report, StepObserver& observer);
void runDeleteBeforeGetTest(const Options& options, Report& report, StepObserver& observer);
void runFreshAfterDeleteTest(const Options& options, Report& report, StepObserver& observer);
void runCopyOutlivesDeleteTest(const Options& options, Report& report, StepObserver& observer);
void runUnloadWhileHoldingTest(const Options& options, Report& report, StepObserver& observer);

}  // namespace host
