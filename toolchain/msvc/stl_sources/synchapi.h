// wine's <synchapi.h> needs the basic Windows types declared first, which
// the Windows SDK's does not.
#pragma once

#include <windows.h>

#include_next <synchapi.h>
