// The UCRT's <new.h>: the C runtime's new-handler, which every module's
// operator new asks (through _callnewh) for more memory before it gives up.
#pragma once

#include <corecrt.h>

#include <new>

typedef int(__cdecl* _PNH)(size_t);

extern "C" {
_ACRTIMP _PNH __cdecl _set_new_handler(_PNH _NewHandler);
_ACRTIMP _PNH __cdecl _query_new_handler(void);
// Calls the new-handler; zero when there is none or it could not help.
_ACRTIMP int __cdecl _callnewh(size_t _Size);
}
