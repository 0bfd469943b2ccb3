// The handler declarations of the UCRT's <eh.h> and <corecrt_terminate.h>.
// wine's <eh.h> declares these without C linkage, so their names would be
// decorated and not match what ucrtbase.dll and vcruntime140.dll export.
#pragma once

#include <vcruntime.h>

#ifndef __cplusplus
#error "eh.h is only for C++"
#endif

#pragma pack(push, 8)
extern "C" {

struct _EXCEPTION_POINTERS;

typedef void(__cdecl* terminate_handler)(void);
typedef void(__cdecl* terminate_function)(void);
typedef void(__cdecl* unexpected_handler)(void);
typedef void(__cdecl* unexpected_function)(void);
typedef void(__cdecl* _se_translator_function)(unsigned int, struct _EXCEPTION_POINTERS*);

_ACRTIMP __declspec(noreturn) void __cdecl abort(void);
_ACRTIMP __declspec(noreturn) void __cdecl terminate(void) throw();
_ACRTIMP terminate_handler __cdecl set_terminate(terminate_handler _NewTerminateHandler) throw();
_ACRTIMP terminate_handler __cdecl _get_terminate(void);
_VCRTIMP __declspec(noreturn) void __cdecl unexpected(void) noexcept(false);
_VCRTIMP unexpected_handler __cdecl set_unexpected(
    unexpected_handler _NewUnexpectedHandler) throw();
_VCRTIMP unexpected_handler __cdecl _get_unexpected(void);
_VCRTIMP _se_translator_function __cdecl _set_se_translator(
    _se_translator_function _NewSETranslator);
_VCRTIMP bool __cdecl __uncaught_exception(void);
}
#pragma pack(pop)
