#pragma once

#include "options.h"
#include "session.h"
#include "test_report.h"

// The named tests themselves, each filling the report it is given.
namespace host::contract {

void descriptor(const Options& options, TestReport& report, StepObserver& observer,
                Leftovers& leftovers);
void lifecycle(const Options& options, TestReport& report, StepObserver& observer,
               Leftovers& leftovers);
void getPluginTwice(const Options& options, TestReport& report, StepObserver& observer,
                    Leftovers& leftovers);
void deleteBeforeGet(const Options& options, TestReport& report, StepObserver& observer,
                     Leftovers& leftovers);
void freshAfterDelete(const Options& options, TestReport& report, StepObserver& observer,
                      Leftovers& leftovers);
void copyOutlivesDelete(const Options& options, TestReport& report, StepObserver& observer,
                        Leftovers& leftovers);
void unloadWhileHolding(const Options& options, TestReport& report, StepObserver& observer,
                        Leftovers& leftovers);

}  // namespace host::contract
