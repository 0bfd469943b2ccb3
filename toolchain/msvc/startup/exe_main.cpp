// The entry point of every console program (/entry:mainCRTStartup): set up
// the C runtime's arguments and environment, run static initialisers, call
// main and leave through exit(), which also runs the program's exit table.
#include <stdlib.h>

#include "module_init.h"

int main(int argc, char** argv, char** envp);

namespace {
void __cdecl runProgramExitTable() {
    velquist_msvc_runtime::runModuleExitTable();
}
}  // namespace

extern "C" int mainCRTStartup() {
    __security_init_cookie();
    _set_app_type(_crt_console_app);
    if (_configure_narrow_argv(_crt_argv_unexpanded_arguments) != 0 ||
        _initialize_narrow_environment() != 0 || !velquist_msvc_runtime::initializeModule()) {
        _exit(255);
    }
    // exit() runs the C runtime's own table; ours goes with it.
    _crt_atexit(runProgramExitTable);
    exit(main(*__p___argc(), *__p___argv(), _get_initial_narrow_environment()));
}
