// The allocation functions' declarations as MSVC's compiler support has
// them. The replaceable operators themselves are defined in each module's
// static runtime (startup/new_delete.cpp), over the C runtime's malloc.
#pragma once

#include <vcruntime.h>

#pragma pack(push, _CRT_PACKING)

extern "C++" {

namespace std {
enum class align_val_t : size_t {};
struct nothrow_t {
    explicit nothrow_t() = default;
};
extern nothrow_t const nothrow;
}  // namespace std

#ifndef __NOTHROW_T_DEFINED
#define __NOTHROW_T_DEFINED
#endif

[[nodiscard]] _VCRT_ALLOCATOR void* __CRTDECL operator new(size_t _Size);
[[nodiscard]] _VCRT_ALLOCATOR void* __CRTDECL operator new(size_t _Size,
                                                           std::nothrow_t const&) noexcept;
[[nodiscard]] _VCRT_ALLOCATOR void* __CRTDECL operator new[](size_t _Size);
[[nodiscard]] _VCRT_ALLOCATOR void* __CRTDECL operator new[](size_t _Size,
                                                             std::nothrow_t const&) noexcept;
void __CRTDECL operator delete(void* _Block) noexcept;
void __CRTDECL operator delete(void* _Block, std::nothrow_t const&) noexcept;
void __CRTDECL operator delete[](void* _Block) noexcept;
void __CRTDECL operator delete[](void* _Block, std::nothrow_t const&) noexcept;
void __CRTDECL operator delete(void* _Block, size_t _Size) noexcept;
void __CRTDECL operator delete[](void* _Block, size_t _Size) noexcept;

[[nodiscard]] _VCRT_ALLOCATOR void* __CRTDECL operator new(size_t _Size, std::align_val_t _Al);
[[nodiscard]] _VCRT_ALLOCATOR void* __CRTDECL operator new(size_t _Size, std::align_val_t _Al,
                                                           std::nothrow_t const&) noexcept;
[[nodiscard]] _VCRT_ALLOCATOR void* __CRTDECL operator new[](size_t _Size, std::align_val_t _Al);
[[nodiscard]] _VCRT_ALLOCATOR void* __CRTDECL operator new[](size_t _Size, std::align_val_t _Al,
                                                             std::nothrow_t const&) noexcept;
void __CRTDECL operator delete(void* _Block, std::align_val_t _Al) noexcept;
void __CRTDECL operator delete(void* _Block, std::align_val_t _Al, std::nothrow_t const&) noexcept;
void __CRTDECL operator delete[](void* _Block, std::align_val_t _Al) noexcept;
void __CRTDECL operator delete[](void* _Block, std::align_val_t _Al,
                                 std::nothrow_t const&) noexcept;
void __CRTDECL operator delete(void* _Block, size_t _Size, std::align_val_t _Al) noexcept;
void __CRTDECL operator delete[](void* _Block, size_t _Size, std::align_val_t _Al) noexcept;

#ifndef __PLACEMENT_NEW_INLINE
#define __PLACEMENT_NEW_INLINE
[[nodiscard]] inline void* __CRTDECL operator new(size_t, void* _Where) noexcept {
    return _Where;
}
inline void __CRTDECL operator delete(void*, void*) noexcept {}
#endif
#ifndef __PLACEMENT_VEC_NEW_INLINE
#define __PLACEMENT_VEC_NEW_INLINE
[[nodiscard]] inline void* __CRTDECL operator new[](size_t, void* _Where) noexcept {
    return _Where;
}
inline void __CRTDECL operator delete[](void*, void*) noexcept {}
#endif

}  // extern "C++"

#pragma pack(pop)
