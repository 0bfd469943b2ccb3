#pragma once

#include <memory>
#include <vector>

#include "guards/guard.h"

// The guards, one per kind of process-wide state; allGuards() lists them.
namespace host::guards {

std::unique_ptr<StateGuard> signalHandlersGuard();
std::unique_ptr<StateGuard> terminateHandlerGuard();
std::unique_ptr<StateGuard> newHandlerGuard();
std::unique_ptr<StateGuard> cppLocaleGuard();
std::unique_ptr<StateGuard> cLocaleGuard();
std::unique_ptr<StateGuard> cppStreamsGuard();
std::unique_ptr<StateGuard> environmentGuard();
std::unique_ptr<StateGuard> workingDirectoryGuard();
// What only this platform has: the C stdio buffers, the file mode mask and
// the signal mask on POSIX; the unhandled-exception filter and the error mode
// on Windows.
std::vector<std::unique_ptr<StateGuard>> platformGuards();

}  // namespace host::guards
