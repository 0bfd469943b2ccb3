#pragma once

#include <functional>
#include <memory>

#include "leftovers.h"
#include "model.h"
#include "options.h"
#include "session.h"
#include "test_report.h"

namespace host {

// One module driven through a sequence of the host's operations, each held
// to the model of the holder's state table as soon as it returns. A first
// failure ends it: the report says so, and nothing more should be done.
class SequenceRun {
public:
    // Each session the run opens (at the first load and at every load
    // operation) is given the hooks `hooksFor` makes for it, if any.
    using HooksFor = std::function<std::unique_ptr<StepHooks>(Session&)>;
    SequenceRun(const Options& options, TestReport& report, StepObserver& observer,
                Leftovers& leftovers, HooksFor hooksFor = nullptr);
    ~SequenceRun();
    SequenceRun(const SequenceRun&) = delete;
    SequenceRun& operator=(const SequenceRun&) = delete;

    // The whole of a sequence on one module: the first load, each operation,
    // then the host lets go of what it still holds; report.cyclesPassed ends
    // as the number of the operation that failed (0: the first load; size +
    // 1: the end, once all passed).
    void run(const Sequence& sequence);

    // Or step by step, each step recorded under `number`: the first load;
    // one operation; the host letting go of its copies at the end.
    bool start(int number);
    bool perform(Operation operation, int number);
    void finish(int number);
    // The module's session while it is loaded (nothing after an unload).
    Session* session();
    // Lets go of everything, the module last, as the host would.
    void close();

private:
    class State;
    std::unique_ptr<State> state_;
};

}  // namespace host
