// The Windows SDK's spelling, which MSVC's library sources use.
#pragma once

#include <windows.h>
