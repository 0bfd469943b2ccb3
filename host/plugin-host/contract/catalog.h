#pragma once

#include <string>
#include <vector>

#include "options.h"
#include "session.h"
#include "test_report.h"

namespace host {

// What runs one named test: it drives the module through sessions and fills
// the report it is given.
using ContractCheck = void(const Options& options, TestReport& report, StepObserver& observer,
                           Leftovers& leftovers);

// One named test of the module contract: each starts from a freshly loaded
// module and checks the descriptor, the host's cycle or one row of the
// holder's state table. Its words are here and nowhere else: --list-tests
// prints them and the reference's table (docs/plugin-host.md) is checked
// against them.
struct ContractTest {
    const char* name;
    const char* checks;        // what it checks, one line
    const char* failureMeans;  // what a failure usually means for a plugin author
    ContractCheck* run;
    // Runs first, alone; when it does not pass, the other tests are skipped.
    bool gatesOthers = false;
    // Its cycle gives the run report its changes, steps, counts and memory.
    bool reportsCycles = false;
    // Its changes are shown apart from the cycle's (--together's).
    bool showsChangesApart = false;
};

// Every test, in the order they are run and reported.
const std::vector<ContractTest>& contractTests();
const ContractTest* findContractTest(const std::string& name) noexcept;
// The one test of --explore and --sequence: not a named test, but reported
// as one, "explore".
const ContractTest& exploreTest();

// --together's test: not a named test, but reported as one, "together", in
// each module's report. Run by runTogether, not by `run`.
const ContractTest& togetherTest();

// Runs one test in this process; its report says how it ended.
TestReport runContractTest(const ContractTest& test, const Options& options,
                           StepObserver& observer);

// What --list-tests prints: each test's name, then what it checks and what a
// failure usually means, indented.
std::string listTestsText();

}  // namespace host
