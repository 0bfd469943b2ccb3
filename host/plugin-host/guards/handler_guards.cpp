// The C++ runtime's process-wide handlers: what runs when the program
// terminates, and when an allocation fails.

#include <cstring>
#include <exception>
#include <new>

#include "guards/kinds.h"

namespace host::guards {

namespace {

template <typename Handler>
const void* codeAddress(Handler handler) {
    const void* address = nullptr;
    static_assert(sizeof address == sizeof handler);
    std::memcpy(&address, &handler, sizeof address);
    return address;
}

template <typename Handler>
class HandlerGuard final : public ValueGuard<Handler> {
public:
    HandlerGuard(const char* what, Handler (*get)(), Handler (*set)(Handler))
        : what_(what), get_(get), set_(set) {}

private:
    Handler read() override { return get_(); }
    void write(const Handler& handler) override { set_(handler); }
    Leftover judge(const Handler& now, const CodeMap& where) override {
        return judgePointer(codeAddress(now), where, what_);
    }

    const char* what_;
    Handler (*get_)();
    Handler (*set_)(Handler);
};

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
