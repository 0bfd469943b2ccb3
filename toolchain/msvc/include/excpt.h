// wine's <excpt.h>, with the structured-exception helpers MSVC's compiler
// understands inside an __except filter; clang-cl knows them as builtins.
#pragma once

#include_next <excpt.h>

#ifndef GetExceptionCode
#define GetExceptionCode _exception_code
#define GetExceptionInformation (struct _EXCEPTION_POINTERS*)_exception_info
#define AbnormalTermination _abnormal_termination
#endif
