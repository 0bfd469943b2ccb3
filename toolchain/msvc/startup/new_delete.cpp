// The replaceable allocation functions over the C runtime's heap, as MSVC's
// static runtime defines them in every module: retry while a new-handler
// frees memory, then throw std::bad_alloc.
#include <malloc.h>
#include <new.h>
#include <stdlib.h>

#include <new>

namespace std {
nothrow_t const nothrow{};
}

void* __CRTDECL operator new(size_t size) {
    for (;;) {
        if (void* block = malloc(size == 0 ? 1 : size)) {
            return block;
        }
        if (_callnewh(size) == 0) {
            throw std::bad_alloc{};
        }
    }
}

void* __CRTDECL operator new(size_t size, std::nothrow_t const&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}

void* __CRTDECL operator new[](size_t size) {
    return operator new(size);
}

void* __CRTDECL operator new[](size_t size, std::nothrow_t const& tag) noexcept {
    return operator new(size, tag);
}

void __CRTDECL operator delete(void* block) noexcept {
    free(block);
}
void __CRTDECL operator delete(void* block, std::nothrow_t const&) noexcept {
    free(block);
}
void __CRTDECL operator delete[](void* block) noexcept {
    free(block);
}
void __CRTDECL operator delete[](void* block, std::nothrow_t const&) noexcept {
    free(block);
}
void __CRTDECL operator delete(void* block, size_t) noexcept {
    free(block);
}
void __CRTDECL operator delete[](void* block, size_t) noexcept {
    free(block);
}

void* __CRTDECL operator new(size_t size, std::align_val_t alignment) {
    for (;;) {
        if (void* block = _aligned_malloc(size == 0 ? 1 : size, static_cast<size_t>(alignment))) {
            return block;
        }
        if (_callnewh(size) == 0) {
            throw std::bad_alloc{};
        }
    }
}

void* __CRTDECL operator new(size_t size, std::align_val_t alignment,
                             std::nothrow_t const&) noexcept {
    try {
        return operator new(size, alignment);
    } catch (...) {
        return nullptr;
    }
}

void* __CRTDECL operator new[](size_t size, std::align_val_t alignment) {
    return operator new(size, alignment);
}

void* __CRTDECL operator new[](size_t size, std::align_val_t alignment,
                               std::nothrow_t const& tag) noexcept {
    return operator new(size, alignment, tag);
}

void __CRTDECL operator delete(void* block, std::align_val_t) noexcept {
    _aligned_free(block);
}
void __CRTDECL operator delete(void* block, std::align_val_t, std::nothrow_t const&) noexcept {
    _aligned_free(block);
}
void __CRTDECL operator delete[](void* block, std::align_val_t) noexcept {
    _aligned_free(block);
}
void __CRTDECL operator delete[](void* block, std::align_val_t, std::nothrow_t const&) noexcept {
    _aligned_free(block);
}
void __CRTDECL operator delete(void* block, size_t, std::align_val_t) noexcept {
    _aligned_free(block);
}
void __CRTDECL operator delete[](void* block, size_t, std::align_val_t) noexcept {
    _aligned_free(block);
}
