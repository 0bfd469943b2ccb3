#include "allocation_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> allocationCount{0};
std::atomic<long> liveCount{0};
std::atomic<long> failingAllocation{0};

void* allocate(std::size_t size) noexcept {
    const long number = ++allocationCount;
    if (failingAllocation != 0 && number == failingAllocation) {
        failingAllocation = 0;
        return nullptr;
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory != nullptr) {
        ++liveCount;
    }
    return memory;
}

void release(void* memory) noexcept {
    if (memory != nullptr) {
        --liveCount;
        std::free(memory);
    }
}
}  // namespace

namespace allocation_probe {
void reset() noexcept {
    allocationCount = 0;
    liveCount = 0;
    failingAllocation = 0;
}
void failAt(long n) noexcept {
    failingAllocation = n;
}
long allocations() noexcept {
    return allocationCount;
}
long live() noexcept {
    return liveCount;
}
}  // namespace allocation_probe

// Replacements of the global allocation functions. They must be visible to
// the dynamic linker so that modules loaded later bind to them too.
#define PROBE_VISIBLE __attribute__((visibility("default")))

PROBE_VISIBLE void* operator new(std::size_t size) {
    void* memory = allocate(size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}
PROBE_VISIBLE void* operator new[](std::size_t size) {
    return operator new(size);
}
PROBE_VISIBLE void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
PROBE_VISIBLE void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
PROBE_VISIBLE void operator delete(void* memory) noexcept {
    release(memory);
}
PROBE_VISIBLE void operator delete[](void* memory) noexcept {
    release(memory);
}
PROBE_VISIBLE void operator delete(void* memory, std::size_t) noexcept {
    release(memory);
}
PROBE_VISIBLE void operator delete[](void* memory, std::size_t) noexcept {
    release(memory);
}
