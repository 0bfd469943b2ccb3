#pragma once

#include "progress_log.h"

namespace host {

// After the test, in the isolated child: what the real host does sooner or
// later and what runs the hooks a plugin may have left that no API lists
// (on Windows, vectored exception and continue handlers). A hook in the
// unloaded module then crashes the child now, and the parent's cause says
// what was provoked. Nothing of the kind is done in plugin-host's own
// process (--in-process), where a crash would end the run.
void provokeLeftHooks(ProgressWriter& writer);

}  // namespace host
