// wine's <sal.h>, plus the source annotations the MSVC standard library uses
// and wine does not define. They only inform MSVC's code analysis.
#pragma once

#include_next <sal.h>

#ifndef _Analysis_assume_
#define _Analysis_assume_(expr)
#endif
#ifndef _Check_return_opt_
#define _Check_return_opt_
#endif
#ifndef _Field_z_
#define _Field_z_
#endif
#ifndef _Guarded_by_
#define _Guarded_by_(lock)
#endif
#ifndef _Pre_satisfies_
#define _Pre_satisfies_(expr)
#endif
