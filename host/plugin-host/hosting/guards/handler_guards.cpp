// The C++ runtime's process-wide handlers: what runs when the program
// terminates, and when an allocation fails.

#include <exception>
#include <new>

#include "guards/handler_guard.h"
#include "guards/kinds.h"

namespace host::guards {

namespace {

std::terminate_handler setTerminate(std::terminate_handler handler) {
    return std::set_terminate(handler);
}
std::new_handler setNewHandler(std::new_handler handler) {
    return std::set_new_handler(handler);
}
std::new_handler getNewHandler() {
#if defined(_MSVC_STL_VERSION)
    // The runtime DLL the tests run on has no get_new_handler: read it by
    // setting it back.
    const std::new_handler current = std::set_new_handler(nullptr);
    std::set_new_handler(current);
    return current;
#else
    return std::get_new_handler();
#endif
}

}  // namespace

std::unique_ptr<StateGuard> terminateHandlerGuard() {
    return std::make_unique<HandlerGuard<std::terminate_handler>>(
        "the terminate handler", [] { return std::get_terminate(); }, setTerminate);
}

std::unique_ptr<StateGuard> newHandlerGuard() {
    return std::make_unique<HandlerGuard<std::new_handler>>("the new-handler", getNewHandler,
                                                            setNewHandler);
}

}  // namespace host::guards
