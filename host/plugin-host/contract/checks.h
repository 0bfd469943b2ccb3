#pragma once

#include "options.h"
#include "session.h"
#include "test_report.h"

// The named tests themselves, each filling the report it is given.
namespace host::contract {

void descriptor(const Options& options, TestReport& report, StepObserver& observer);
void lifecycle(const Options& options, TestReport& report, StepObserver& observer);
void getPluginTwice(const Options& options, TestReport& report, StepObserver& observer);
void deleteBeforeGet(const Options& options, TestReport& report, StepObserver& observer);
void freshAfterDelete(const Options& options, TestReport& report, StepObserver& observer);
void copyOutlivesDelete(const Options& options, TestReport& report, StepObserver& observer);
void unloadWhileHolding(const Options& options, TestReport& report, StepObserver& observer);

}  // namespace host::contract
