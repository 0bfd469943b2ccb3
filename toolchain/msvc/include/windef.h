// wine's <windef.h>, without its `inline` macro: it turns every later
// `inline` into `__inline`, which breaks C++ files that include windows.h
// before the standard library.
#pragma once

#include_next <windef.h>
#undef inline
