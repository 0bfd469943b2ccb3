#pragma once

#include <locale>
#include <memory>
#include <optional>
#include <string>
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
std::unique_ptr<StateGuard> cppStreamFormatGuard();
// Null where the C++ library keeps the streams' callbacks out of reach.
std::unique_ptr<StateGuard> streamCallbacksGuard();
// A failure when one of `locale`'s standard facets has its code in the
// module or in no loaded code: "left WHAT with a numpunct<char> facet ...".
std::optional<Leftover> judgeFacets(const std::locale& locale, const CodeMap& where,
                                    const std::string& what);
std::unique_ptr<StateGuard> environmentGuard();
std::unique_ptr<StateGuard> workingDirectoryGuard();
std::unique_ptr<StateGuard> defaultMemoryResourceGuard();
std::unique_ptr<StateGuard> fpEnvironmentGuard();
std::unique_ptr<StateGuard> librariesGuard();
#if !defined(_WIN32)
std::unique_ptr<StateGuard> intervalTimersGuard();
std::unique_ptr<StateGuard> posixTimersGuard();
std::vector<std::unique_ptr<StateGuard>> identityGuards();
std::vector<std::unique_ptr<StateGuard>> memoryPolicyGuards();
std::unique_ptr<StateGuard> processSettingsGuard();
// Null where the C library's table of keys cannot be read.
std::unique_ptr<StateGuard> threadKeysGuard();
std::unique_ptr<StateGuard> resourceLimitsGuard();
std::vector<std::unique_ptr<StateGuard>> schedulingGuards();
std::vector<std::unique_ptr<StateGuard>> standardDescriptorGuards();
#endif
// The settings of the terminals this process holds (on Windows, the console
// modes of its standard handles): its user's, shared with the shell.
std::unique_ptr<StateGuard> terminalGuard();
#if defined(_WIN32)
std::vector<std::unique_ptr<StateGuard>> runtimeGuards();
std::vector<std::unique_ptr<StateGuard>> processGuards();
#endif
// What only this platform has: the C stdio buffers, the file mode mask and
// the signal mask on POSIX; the unhandled-exception filter and the error mode
// on Windows.
std::vector<std::unique_ptr<StateGuard>> platformGuards();

}  // namespace host::guards
