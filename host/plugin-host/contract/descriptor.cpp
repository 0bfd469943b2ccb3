// The descriptor test: the module loads, exports what the host resolves, and
// its descriptor is one this host accepts.

#include "checks.h"

namespace host::contract {

void descriptor(const Options& options, TestReport& report, StepObserver& observer,
                Leftovers& leftovers) {
    Session session(options, 1, report, observer, leftovers);
    session.open();
}

}  // namespace host::contract
