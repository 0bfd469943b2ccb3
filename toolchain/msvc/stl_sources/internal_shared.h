// The C runtime's internal helpers that the MSVC STL's sources include from
// the runtime's own build tree: an owning pointer over the C heap and the
// allocation macro that fills it. Seen only by the STL sources we compile.
#pragma once

#include <stdlib.h>

template <typename T>
class __crt_unique_heap_ptr {
public:
    __crt_unique_heap_ptr() noexcept = default;
    explicit __crt_unique_heap_ptr(T* pointer) noexcept : _Pointer(pointer) {}
    __crt_unique_heap_ptr(__crt_unique_heap_ptr&& other) noexcept : _Pointer(other.detach()) {}
    __crt_unique_heap_ptr& operator=(__crt_unique_heap_ptr&& other) noexcept {
        if (this != &other) {
            free(_Pointer);
            _Pointer = other.detach();
        }
        return *this;
    }
    __crt_unique_heap_ptr(__crt_unique_heap_ptr const&) = delete;
    __crt_unique_heap_ptr& operator=(__crt_unique_heap_ptr const&) = delete;
    ~__crt_unique_heap_ptr() { free(_Pointer); }

    T* get() const noexcept { return _Pointer; }
    T* detach() noexcept {
        T* pointer = _Pointer;
        _Pointer = nullptr;
        return pointer;
    }
    explicit operator bool() const noexcept { return _Pointer != nullptr; }

private:
    T* _Pointer = nullptr;
};

#define _malloc_crt_t(type, count) \
    (__crt_unique_heap_ptr<type>(static_cast<type*>(malloc(sizeof(type) * (count)))))
