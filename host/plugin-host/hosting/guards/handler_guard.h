#pragma once

#include <cstring>

#include "guards/guard.h"

namespace host::guards {

// A runtime's handler, read and written through its own getter and setter,
// and judged by where its code lies.
template <typename Handler>
class HandlerGuard final : public ValueGuard<Handler> {
public:
    HandlerGuard(const char* what, Handler (*get)(), Handler (*set)(Handler))
        : what_(what), get_(get), set_(set) {}

private:
    Handler read() override { return get_(); }
    void write(const Handler& handler) override { set_(handler); }
    Leftover judge(const Handler& now, const CodeMap& where) override {
        const void* address = nullptr;
        static_assert(sizeof address == sizeof now);
        std::memcpy(&address, &now, sizeof address);
        return judgePointer(address, where, what_);
    }

    const char* what_;
    Handler (*get_)();
    Handler (*set_)(Handler);
};

}  // namespace host::guards
